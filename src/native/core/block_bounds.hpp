// Block boundaries found from any byte offset.
//
// Every line that starts with "$$$$" ends a block, wherever splitting began,
// so the block that starts at or after an offset is found by looking at the
// line the offset falls in and splitting from there: nothing before that line
// is read. Byte ranges, shards, the block index and parallel table builds all
// cut files with this, and their cuts match the splitter's exactly.
#pragma once

#include <cstddef>

namespace molvane::core {

// Start of the first block that starts at or after `from` under the LF rule
// (`universal` false) or the universal rule: 0 when `from` is 0, `size` when
// no block starts in [from, size). Callers reading mapped pages guard faults.
std::size_t next_block_start(const char* data, std::size_t size, std::size_t from,
                             bool universal) noexcept;

}  // namespace molvane::core
