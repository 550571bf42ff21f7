// The record index: a table of a block's records sorted by name, built by
// the second name lookup of an unchanged block so that repeated lookups
// (get, block[name], name in block) stop rescanning the SD data. Every edit
// drops it (Block::begin_edit).
#pragma once

#include <string_view>
#include <vector>

#include "core/block.hpp"
#include "core/record.hpp"

namespace molvane::core {

struct RecordIndex {
    // The records ordered by name; records with one name keep their order.
    std::vector<RecordSpan> by_name;

    // Builds the table from one scan of `sd` (throws at a header without a name).
    explicit RecordIndex(std::string_view sd);

    // The last record named `name`, or null.
    const RecordSpan* find_last(std::string_view sd, std::string_view name) const;
};

// The last record named `name` in the block's SD data. The first lookup
// after the block was made or edited scans; the second builds the index,
// which later lookups use until the next edit.
bool lookup_record(Block& block, std::string_view name, RecordSpan& found);

}  // namespace molvane::core
