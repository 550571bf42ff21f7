// The block index: where every block of a file starts, found by one scan
// with the splitter's own rules (core/split), so that its offsets are the
// splitter's block starts exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace molvane::core {

// Appends the first byte of every block of data[0, size) to `offsets`, then
// `size`: block i is [offsets[i], offsets[i + 1]). Reads the mapping under
// the fault guard: false when the file shrank under it. May throw
// std::bad_alloc.
bool index_blocks(const char* data, std::size_t size, bool universal,
                  std::vector<uint64_t>& offsets);

// Cuts data[0, size) into at most `pieces` runs of blocks of about equal
// bytes: `bounds` gets 0, the first block start at or after each cut, and
// `size`, without repeats, so no run is empty. False when the file shrank.
bool cut_shards(const char* data, std::size_t size, std::size_t pieces, bool universal,
                std::vector<uint64_t>& bounds);

}  // namespace molvane::core
