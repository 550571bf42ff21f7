// The record index: a block's records in section order with a table from
// name to their places, so that repeated lookups (get, block[name], name in
// block) stop rescanning the SD data, and so that record edits on a block
// with many records (set_record with new names, remove_record) cost about
// the bytes they move rather than a scan of every record. Lookups build it
// at their second call on an unchanged block, edits after a few calls on a
// block of many records (a block edited once or twice gains no table);
// record edits keep it up to date, every other edit drops it
// (Block::begin_edit).
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/block.hpp"
#include "core/record.hpp"

namespace molvane::core {

class RecordIndex {
  public:
    // Builds the table from one scan of `sd` (throws at a header without a name).
    explicit RecordIndex(std::string_view sd);

    // The last record named `name`, or null.
    const RecordSpan* find_last(std::string_view sd, std::string_view name) const;
    // Every record named `name`, in section order.
    std::vector<RecordSpan> named(std::string_view name) const;

    // After records were added at the end of the section, now `sd`: rescans
    // from the last known record on. False when the index cannot follow (a
    // header without a name turned up): the caller drops it.
    bool follow_append(std::string_view sd);
    // After the records named `name` were rewritten, now `sd`: every one
    // gone, or with `first_size` other than npos, the first one's bytes
    // replaced by that many bytes holding its new form, every later one gone.
    void follow_rewrite(std::string_view sd, std::string_view name, size_t first_size);

  private:
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view name) const noexcept {
            return std::hash<std::string_view>{}(name);
        }
    };
    // The first and last record of one name; the others are linked by next_.
    struct Places {
        size_t first;
        size_t last;
    };
    using PlacesByName = std::unordered_map<std::string, Places, NameHash, std::equal_to<>>;

    void add(std::string_view sd, const RecordSpan& record);
    void compact(std::string_view sd);

    std::vector<RecordSpan> records_;  // section order; removed ones stay as gaps until compacted
    std::vector<size_t> next_;         // per entry: the next entry of its name, or npos
    std::vector<bool> gone_;           // per entry: removed
    size_t gone_count_ = 0;
    PlacesByName places_;
};

// The last record named `name` in the block's SD data. The first lookup
// after the block was made or edited scans; the second builds the index,
// which later lookups use until the next edit that drops it.
bool lookup_record(Block& block, std::string_view name, RecordSpan& found);

// The index a record edit should use: the block's own, or a new one when
// earlier edits scanned many records a few times; null otherwise, and the
// edit scans.
RecordIndex* index_for_edit(Block& block);
// Called by an edit that scanned `scanned` records without an index.
void note_edit_scan(Block& block, size_t scanned) noexcept;

}  // namespace molvane::core
