// The blocks of a mapped file, split and built a batch at a time. A batch
// needs no interpreter, so the glue runs read_batch() without the GIL.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "core/block.hpp"
#include "core/mapped.hpp"
#include "core/split.hpp"

namespace molvane::core {

class MappedReader {
  public:
    // `is_str`: the file is text, split by the universal rule and translated
    // where a block holds a CR. `borrow`: finished blocks share the mapping
    // instead of copying it.
    MappedReader(std::shared_ptr<const Mapping> mapping, bool is_str, bool borrow) noexcept;

    // Reads only the blocks whose first byte lies in [start, stop), before the
    // first batch. False when the file turned out shorter than its mapping.
    bool restrict_to(uint64_t start, uint64_t stop);

    uint64_t size() const noexcept { return mapping_->size(); }
    const std::shared_ptr<const Mapping>& mapping() const noexcept { return mapping_; }
    bool has_block() const noexcept { return !ready_.empty(); }
    bool exhausted() const noexcept { return ready_.empty() && splitter_.exhausted(); }

    // Splits the next batch and builds its blocks; then gives back the pages
    // well behind the reader. False when the file turned out shorter than
    // its mapping (it was truncated while mapped): the reader cannot go on.
    bool read_batch();
    Block take();
    // Bytes of the file behind the blocks taken so far: where the next one
    // starts, or the end of the last batch split.
    uint64_t position() const noexcept { return position_; }

  private:
    bool build(const BlockSpan& span, Block& block) const;

    std::shared_ptr<const Mapping> mapping_;
    BatchSplitter splitter_;
    std::deque<Block> ready_;
    bool is_str_;
    uint64_t batch_end_ = 0;
    uint64_t position_ = 0;
};

}  // namespace molvane::core
