// The items of an iterable of lines (a block built from lines) on their way into a
// chunk splitter. Every item ends a line: one that does not end in LF is
// completed, with LF after a trailing CR and otherwise with the title line
// ending of the refill's first item, so that an empty item is an empty line.
// An item that starts with `$$$$` ends its block.
#pragma once

#include <string_view>

#include "core/split.hpp"

namespace molvane::core {

// One refill of a splitter from line items: the items up to one that ends a
// block, or up to the end of the iterable.
class LineItems {
  public:
    explicit LineItems(ChunkSplitter& splitter) noexcept : splitter_(splitter) {}

    // Appends `item` and its completion. True when the item starts with
    // `$$$$`: the block it ends can be split off before more items are read.
    bool add(std::string_view item);

  private:
    ChunkSplitter& splitter_;
    std::string_view ending_;  // fixed by the first item
    bool first_ = true;
};

}  // namespace molvane::core
