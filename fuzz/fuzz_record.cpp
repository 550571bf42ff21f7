// Random record edits on a block built from arbitrary text: every edit either
// refuses before changing anything or leaves a block that meets the block
// invariants, with its title line, CTAB and terminator line untouched, and
// whose records read back as the edit says.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/block.hpp"
#include "core/error.hpp"
#include "core/pickle_state.hpp"
#include "core/record.hpp"

namespace {

using namespace molvane::core;

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::string_view bytes(size_t n) {
        n = std::min(n, size - pos);
        std::string_view out(reinterpret_cast<const char*>(data) + pos, n);
        pos += n;
        return out;
    }
};

#define check(condition)                                                                 \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

void check_invariants(Block& block) {
    std::string_view text = block.view();
    size_t mdl_end = block.locate_mdl_end();
    auto state = block_from_state(text, block.title_end, mdl_end, block.is_bytes);
    check(state.has_value());
}

// Records by scanning, or nothing when the section holds an unnamed header.
bool records_of(Block& block, std::vector<std::pair<std::string, std::string>>& out) {
    out.clear();
    try {
        std::string_view sd = block.sd_data();
        std::string scratch;
        for (const RecordSpan& span : scan_records(sd))
            out.emplace_back(std::string(span.name(sd)),
                             std::string(record_value(sd, span, scratch)));
        return true;
    } catch (const Error& error) {
        check(error.kind() == ErrorKind::MalformedRecord);
        return false;
    }
}

const char* const kNames[] = {"A", "B", "", "a b", "<x>", "A>B<", "long name"};
const char* const kValues[] = {"", "1", "two\nlines", "crlf\r\nvalue", "x\r", "  "};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    bool is_bytes = in.byte() & 1;
    std::string_view text = in.bytes(in.byte() * 4);
    Block block;
    try {
        block = block_from_text(text, is_bytes);
    } catch (const Error&) {
        return 0;  // more than one block
    }
    check_invariants(block);
    for (int step = 0; step < 8 && in.pos < in.size; ++step) {
        std::string head(block.molblock());
        std::string terminator(block.terminator());
        bool was_empty = block.is_empty_block();
        uint8_t op = in.byte();
        std::string name = kNames[in.byte() % 7];
        std::string value = (op & 0x80) ? std::string(in.bytes(in.byte() % 16))
                                        : std::string(kValues[in.byte() % 6]);
        auto style = static_cast<HeaderStyle>(in.byte() % 3);
        std::vector<std::pair<std::string, std::string>> before, after;
        bool readable = records_of(block, before);
        uint64_t version = block.records_version;
        try {
            switch (op % 4) {
                case 0: append_record(block, {name, value}, style); break;
                case 1: set_record(block, {name, value}, style); break;
                case 2: remove_records(block, name); break;
                default: {
                    std::vector<NewRecord> news = {{name, value}, {"B", value}, {name, ""}};
                    news.resize(in.byte() % 4);
                    replace_records(block, news, style);
                }
            }
        } catch (const Error& error) {
            // A malformed header, or a record that would not read back.
            check(error.kind() == ErrorKind::MalformedRecord ||
                  error.kind() == ErrorKind::InvalidText);
            check(block.records_version == version);
            check(block.molblock() == head && block.terminator() == terminator);
            continue;
        }
        check_invariants(block);
        check(block.terminator() == terminator);
        if (!was_empty) check(block.molblock() == head);
        // An accepted record reads back as written (CR LF folded to LF),
        // unless its value ends in blank lines, which end the record sooner.
        std::string expected = value;
        for (size_t at; (at = expected.find("\r\n")) != std::string::npos;)
            expected.erase(at, 1);
        const size_t last_break = expected.find_last_of("\r\n");
        const std::string_view last_line =
            std::string_view(expected).substr(last_break == std::string::npos ? 0 : last_break + 1);
        bool comparable = !strip(last_line).empty() && expected.find('\r') == std::string::npos;
        if (readable && comparable && (op % 4) == 0 && records_of(block, after)) {
            check(after.size() == before.size() + 1);
            check(after.back().first == name && after.back().second == expected);
        }
    }
    return 0;
}
