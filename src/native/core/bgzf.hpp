// BGZF, the blocked gzip of bgzip and htslib: a series of gzip members of at
// most 64 KiB each, whose header carries an extra subfield "BC" holding the
// member's size less one, ended by an empty member. Its members can be found
// from their headers alone, without decompressing, which makes the file
// splittable and readable at any member. Decompression is not done here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/file_fault.hpp"

namespace molvane::core {

// Bytes of a member header up to and including the "BC" subfield, when that
// is the only extra subfield (as every writer makes it).
inline constexpr std::size_t kBgzfHeaderLength = 18;
// The gzip trailer: CRC32 and ISIZE, little-endian.
inline constexpr std::size_t kGzipTrailerLength = 8;

// The size of the BGZF member starting `data` (header, deflate data and
// trailer), or 0 when `data` does not start with a BGZF member header (which
// needs all its extra field in `data`).
std::size_t bgzf_member_size(std::string_view data) noexcept;

// Whether `head` starts with a BGZF member header.
inline bool is_bgzf(std::string_view head) noexcept {
    return bgzf_member_size(head) != 0;
}

// Where the deflate data of a member of `size` bytes starts: after the
// header and its extra field.
std::size_t bgzf_data_start(std::string_view member) noexcept;

struct BgzfMembers {
    std::vector<uint64_t> offsets;  // each member's first byte, then the end
    std::vector<uint32_t> sizes;    // each member's ISIZE: its decompressed bytes
    // Where the walk stopped short: NotBgzf or Cut, at the offset of the
    // member whose header is not BGZF or that runs past the end.
    FileFault fault{};
};

// Walks the member headers of data[0, size). Empty members (the end marker,
// or those some writers flush) are kept: they decompress to nothing. May
// throw std::bad_alloc.
BgzfMembers walk_bgzf(const char* data, std::size_t size);

}  // namespace molvane::core
