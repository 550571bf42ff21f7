#include "core/record_index.hpp"

#include <algorithm>
#include <memory>

#include "core/error.hpp"

namespace molvane::core {

RecordIndex::RecordIndex(std::string_view sd) : by_name(scan_records(sd)) {
    std::stable_sort(by_name.begin(), by_name.end(), [&](const RecordSpan& a, const RecordSpan& b) {
        return a.name(sd) < b.name(sd);
    });
}

const RecordSpan* RecordIndex::find_last(std::string_view sd, std::string_view name) const {
    auto after = std::upper_bound(by_name.begin(), by_name.end(), name,
                                  [&](std::string_view wanted, const RecordSpan& record) {
                                      return wanted < record.name(sd);
                                  });
    if (after == by_name.begin()) return nullptr;
    const RecordSpan& last = *(after - 1);
    if (last.name(sd) != name) return nullptr;
    expect(last.end <= sd.size(), "record index out of step with its block");
    return &last;
}

bool lookup_record(Block& block, std::string_view name, RecordSpan& found) {
    std::string_view sd = block.sd_data();
    // Lookups run under the interpreter lock and never give it up while the
    // index is built, so the check and the publication below cannot interleave
    // with another thread's lookup of the same block.
    if (!block.record_index && block.lookup_seen)
        block.record_index = std::make_shared<const RecordIndex>(sd);
    if (std::shared_ptr<const RecordIndex> index = block.record_index) {
        const RecordSpan* record = index->find_last(sd, name);
        if (!record) return false;
        found = *record;
        return true;
    }
    block.lookup_seen = true;
    return find_last_record(sd, name, found);
}

}  // namespace molvane::core
