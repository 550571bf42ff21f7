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

// The same answer for a window data[0, size) of a larger file, as read from
// remote storage: `at_start` when the window begins at the file's start,
// `at_end` when it ends at the file's end. npos when the window cannot tell:
// the line holding `from - 1` may begin before it, or the block that line
// leads to may end after it (a `$$$$` line must end inside the window, so a
// CR LF split by its end is not taken for a lone CR). A larger window tells.
std::size_t next_block_start_in_window(const char* data, std::size_t size, std::size_t from,
                                       bool universal, bool at_start, bool at_end) noexcept;

}  // namespace molvane::core
