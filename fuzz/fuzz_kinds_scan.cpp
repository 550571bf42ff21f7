// The scan of kinds walked in a mapping against the scan that builds every
// block, on any input, by either rule: the same columns in the same order,
// the same kinds, the same count of blocks, and a refusal by both or neither.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/kinds_scan.hpp"
#include "core/mapped.hpp"
#include "core/mapped_reader.hpp"
#include "core/table_builder.hpp"

namespace {

using namespace molvane::core;

struct Outcome {
    bool refused = false;
    std::vector<std::pair<std::string, std::string>> kinds;
    uint64_t scanned = 0;
};

TableOptions scan_options(bool is_str, bool selected) {
    TableOptions options;
    options.is_bytes = !is_str;
    options.kinds_only = true;
    options.skip_malformed = true;
    options.strict_conversion = false;
    options.title = "t";
    if (selected) options.columns = std::vector<std::string>{"B", "A"};
    return options;
}

Outcome outcome_of(TableBuilder& builder) {
    Outcome outcome;
    Table table = builder.finish();
    for (const auto& [name, kinds] : table.kinds)
        outcome.kinds.emplace_back(name, std::string(kinds.word()));
    outcome.scanned = table.scanned;
    return outcome;
}

Outcome walked(const std::shared_ptr<const Mapping>& mapping, bool is_str, bool selected) {
    TableBuilder builder(scan_options(is_str, selected));
    KindsScan scan(mapping, is_str);
    if (!scan.restrict_to(0, mapping->size())) std::abort();
    try {
        while (!scan.exhausted())
            if (!scan.scan_batch(builder)) std::abort();
    } catch (const Error&) {
        if (!scan.failed_block(0)) std::abort();
        return Outcome{true, {}, 0};
    }
    return outcome_of(builder);
}

Outcome built(const std::shared_ptr<const Mapping>& mapping, bool is_str, bool selected) {
    TableBuilder builder(scan_options(is_str, selected));
    MappedReader reader(mapping, is_str, false);
    try {
        while (!reader.exhausted()) {
            if (!reader.has_block() && !reader.read_batch()) std::abort();
            while (reader.has_block()) {
                Block block = reader.take();
                block.locate_mdl_end();
                builder.add(block);
            }
        }
    } catch (const Error&) {
        return Outcome{true, {}, 0};
    }
    return outcome_of(builder);
}

// A mapping of its own, as a file's would be, holding `data`. One per
// reader: the pages a reader gives back behind it read as zeros after.
std::shared_ptr<const Mapping> mapped(const std::string& data) {
    void* region =
        mmap(nullptr, data.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) std::abort();
    std::memcpy(region, data.data(), data.size());
    return std::make_shared<const Mapping>(static_cast<const char*>(region), data.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 2) return 0;
    const std::string data(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    const bool selected = bytes[0] & 1;
    for (bool is_str : {false, true}) {
        const Outcome a = walked(mapped(data), is_str, selected);
        const Outcome b = built(mapped(data), is_str, selected);
        if (a.refused != b.refused || a.kinds != b.kinds || a.scanned != b.scanned) std::abort();
    }
    return 0;
}
