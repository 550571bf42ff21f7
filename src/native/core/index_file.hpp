// The saved form of a block index, for a file too large to scan on every
// start. All numbers little-endian:
//
//   8 bytes   magic "MVSDIDX\0"
//   u32       format version, 1
//   u32       splitting rule: 0 LF (bytes paths), 1 universal (str paths)
//   u64       size of the indexed file
//   i64       its modification time, ns since the epoch
//   u64       count of offsets (blocks + 1)
//   u64 x count  the offsets: each block's first byte, then the size
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_fault.hpp"
#include "core/random_access_file.hpp"

namespace molvane::core {

struct SavedIndex {
    bool universal = false;
    FileStamp stamp;
    std::vector<uint64_t> offsets;
};

std::string encode_index(const SavedIndex& index);

// Decodes `data`; checks that the offsets rise from 0 to the file size, so
// an index taken in never reads outside the blocks. Faults: NotAnIndex,
// IndexVersion, IndexDamaged. May throw bad_alloc.
FileFault decode_index(std::string_view data, SavedIndex& index);

// Offsets that rise strictly from 0 to at most `size` ({0} for an empty file):
// the bytes past the last one are trailing whitespace, which is no block.
bool offsets_fit(const std::vector<uint64_t>& offsets, uint64_t size) noexcept;

}  // namespace molvane::core
