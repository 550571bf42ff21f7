#include "core/record_index.hpp"

#include <memory>

#include "core/error.hpp"

namespace molvane::core {

namespace {

// Building the table costs a few scans, so edits build it only on a block of
// at least this many records, once this many edits have scanned it.
constexpr size_t kIndexAfterRecords = 16;
constexpr uint8_t kIndexAfterScans = 4;

// Moves every offset of `record` by `added` bytes, less `removed` bytes
// (modular arithmetic: the result is a valid offset again).
void shift(RecordSpan& record, size_t added, size_t removed) noexcept {
    record.start = record.start + added - removed;
    record.header_end = record.header_end + added - removed;
    if (record.named) {
        record.name_start = record.name_start + added - removed;
        record.name_end = record.name_end + added - removed;
    }
    record.value_end = record.value_end + added - removed;
    record.end = record.end + added - removed;
}

}  // namespace

RecordIndex::RecordIndex(std::string_view sd) {
    RecordScanner scanner(sd);
    for (RecordSpan record; scanner.next(record);)
        add(sd, record);
}

void RecordIndex::add(std::string_view sd, const RecordSpan& record) {
    std::string_view name = record.name(sd);
    const size_t place = records_.size();
    records_.push_back(record);
    next_.push_back(npos);
    gone_.push_back(false);
    auto found = places_.find(name);
    if (found == places_.end()) {
        places_.emplace(std::string(name), Places{place, place});
    } else {
        next_[found->second.last] = place;
        found->second.last = place;
    }
}

const RecordSpan* RecordIndex::find_last(std::string_view sd, std::string_view name) const {
    auto found = places_.find(name);
    if (found == places_.end()) return nullptr;
    const RecordSpan& last = records_[found->second.last];
    expect(last.end <= sd.size() && last.name(sd) == name,
           "record index out of step with its block");
    return &last;
}

std::vector<RecordSpan> RecordIndex::named(std::string_view name) const {
    std::vector<RecordSpan> spans;
    auto found = places_.find(name);
    if (found == places_.end()) return spans;
    for (size_t place = found->second.first; place != npos; place = next_[place])
        spans.push_back(records_[place]);
    return spans;
}

bool RecordIndex::follow_append(std::string_view sd) {
    // The last record's end may move (its section end becomes a blank line),
    // so it is scanned again with everything after it.
    size_t from = records_.empty() ? 0 : records_.back().start;
    RecordScanner scanner(sd, from, UnnamedHeader::Skip);
    RecordSpan record;
    if (!records_.empty()) {
        expect(scanner.next(record) && record.start == from && record.named,
               "record index out of step with its block");
        records_.back() = record;
    }
    while (scanner.next(record)) {
        if (!record.named) return false;
        add(sd, record);
    }
    return true;
}

void RecordIndex::follow_rewrite(std::string_view sd, std::string_view name, size_t first_size) {
    const bool first_kept = first_size != npos;
    auto found = places_.find(name);
    expect(found != places_.end(), "record index out of step with its block");
    const size_t first = found->second.first;
    size_t added = 0;
    size_t removed = 0;
    size_t next_place = first;
    for (size_t i = first; i < records_.size(); ++i) {
        // Past the last of the name with the sizes even, nothing moved.
        if (next_place == npos && added == removed) break;
        if (gone_[i]) continue;
        RecordSpan& record = records_[i];
        if (i == next_place) {
            next_place = next_[i];
            size_t old_size = record.end - record.start;
            if (i == first && first_kept) {
                // Everything before the first one is unchanged, so it starts
                // where it did.
                RecordScanner scanner(sd, record.start);
                size_t start = record.start;
                expect(scanner.next(record) && record.start == start,
                       "record index out of step with its block");
                added += first_size;
            } else {
                gone_[i] = true;
                ++gone_count_;
            }
            removed += old_size;
            continue;
        }
        shift(record, added, removed);
    }
    if (first_kept) {
        next_[first] = npos;
        found->second.last = first;
    } else {
        places_.erase(found);
    }
    while (!records_.empty() && gone_.back()) {
        records_.pop_back();
        next_.pop_back();
        gone_.pop_back();
        --gone_count_;
    }
    if (gone_count_ > records_.size() / 2) compact(sd);
}

void RecordIndex::compact(std::string_view sd) {
    std::vector<RecordSpan> kept;
    kept.reserve(records_.size() - gone_count_);
    for (size_t i = 0; i < records_.size(); ++i)
        if (!gone_[i]) kept.push_back(records_[i]);
    records_.clear();
    next_.clear();
    gone_.clear();
    gone_count_ = 0;
    places_.clear();
    for (const RecordSpan& record : kept)
        add(sd, record);
}

bool lookup_record(Block& block, std::string_view name, RecordSpan& found) {
    std::string_view sd = block.sd_data();
    // Lookups run under the interpreter lock and never give it up while the
    // index is built, so the check and the publication below cannot interleave
    // with another thread's lookup of the same block.
    if (!block.record_index && block.lookup_seen)
        block.record_index = std::make_shared<RecordIndex>(sd);
    if (std::shared_ptr<const RecordIndex> index = block.record_index) {
        const RecordSpan* record = index->find_last(sd, name);
        if (!record) return false;
        found = *record;
        return true;
    }
    block.lookup_seen = true;
    return find_last_record(sd, name, found);
}

RecordIndex* index_for_edit(Block& block) {
    if (!block.record_index && block.edit_scans >= kIndexAfterScans)
        block.record_index = std::make_shared<RecordIndex>(block.sd_data());
    return block.record_index.get();
}

void note_edit_scan(Block& block, size_t scanned) noexcept {
    if (scanned >= kIndexAfterRecords && block.edit_scans < kIndexAfterScans) ++block.edit_scans;
}

}  // namespace molvane::core
