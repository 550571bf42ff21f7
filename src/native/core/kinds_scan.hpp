// A schema scan of a mapped file: each block's record names and the kinds
// of their values, found where the blocks lie in the mapping. No block is
// copied or built: the walk under the fault guard copies out only the names
// and what each value reads as, and the table builder (kinds only) takes
// them from there, giving the table that a build of kinds only gives.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/block.hpp"
#include "core/mapped.hpp"
#include "core/split.hpp"
#include "core/table_builder.hpp"

namespace molvane::core {

class KindsScan {
  public:
    // `is_str`: the file is text, split by the universal rule (a block that
    // holds a CR is built and translated, as a reader gives it).
    KindsScan(std::shared_ptr<const Mapping> mapping, bool is_str) noexcept;

    // Scans only the blocks whose first byte lies in [start, stop), before
    // the first batch. False when the file turned out shorter than its mapping.
    bool restrict_to(uint64_t start, uint64_t stop);

    bool exhausted() const noexcept { return splitter_.exhausted(); }

    // Scans the next batch of blocks into `builder`, made with kinds_only.
    // False when the file turned out shorter than its mapping. Throws what
    // the builder throws for a block; failed_block() then builds that block.
    bool scan_batch(TableBuilder& builder);

    // Just past the last block scanned.
    uint64_t position() const noexcept { return position_; }

    // The block the builder refused, as a reader gives it, numbered within
    // the scan from `first_number`; nothing when the file shrank meanwhile.
    std::optional<Block> failed_block(uint64_t first_number) const;

  private:
    // A block walked in the mapping: its records are records_[first, first + count).
    struct Walked {
        BlockSpan span;
        size_t first = 0;
        size_t count = 0;
        bool malformed = false;
    };

    bool needs_building(const BlockSpan& span) const noexcept;
    size_t walk(size_t from) noexcept;
    bool walk_one(const BlockSpan& span) noexcept;
    std::optional<Block> build(const BlockSpan& span) const;

    std::shared_ptr<const Mapping> mapping_;
    BatchSplitter splitter_;
    bool is_str_;
    std::vector<BlockSpan> spans_;  // the batch's blocks
    // What one guarded walk found, in room reserved before it: the walk
    // never allocates, it stops where the room ends.
    std::string names_;
    std::vector<ScannedRecord> records_;
    std::vector<Walked> walked_;
    BlockSpan failed_{};
    uint64_t number_ = 0;  // blocks given to the builder
    uint64_t position_ = 0;
};

}  // namespace molvane::core
