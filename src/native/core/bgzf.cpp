#include "core/bgzf.hpp"

namespace molvane::core {

namespace {

uint32_t little16(const char* p) noexcept {
    return static_cast<uint32_t>(static_cast<unsigned char>(p[0])) |
           static_cast<uint32_t>(static_cast<unsigned char>(p[1])) << 8;
}

uint32_t little32(const char* p) noexcept {
    return little16(p) | little16(p + 2) << 16;
}

// The extra field's length, or 0 when `data` is no gzip header with one.
std::size_t extra_length(std::string_view data) noexcept {
    if (data.size() < 12) return 0;
    // ID1, ID2, CM deflate, FLG with FEXTRA.
    if (data[0] != '\x1f' || data[1] != '\x8b' || data[2] != '\x08' || (data[3] & 4) == 0) return 0;
    return little16(data.data() + 10);
}

}  // namespace

std::size_t bgzf_member_size(std::string_view data) noexcept {
    const std::size_t xlen = extra_length(data);
    if (xlen == 0 || data.size() < 12 + xlen) return 0;
    // The subfields: SI1 SI2 SLEN(u16) then SLEN bytes each.
    const char* field = data.data() + 12;
    std::size_t left = xlen;
    while (left >= 4) {
        const std::size_t length = little16(field + 2);
        if (length > left - 4) return 0;
        if (field[0] == 'B' && field[1] == 'C' && length == 2) {
            const std::size_t size = static_cast<std::size_t>(little16(field + 4)) + 1;
            // Header, extra field and trailer must fit in the member.
            return size >= 12 + xlen + kGzipTrailerLength ? size : 0;
        }
        field += 4 + length;
        left -= 4 + length;
    }
    return 0;
}

std::size_t bgzf_data_start(std::string_view member) noexcept {
    return 12 + extra_length(member);
}

BgzfMembers walk_bgzf(const char* data, std::size_t size) {
    BgzfMembers members;
    std::size_t at = 0;
    while (at < size) {
        const std::string_view rest(data + at, size - at);
        const std::size_t length = bgzf_member_size(rest);
        if (length == 0) {
            // A header cut short is a cut file; other bytes are not BGZF.
            const bool cut = rest.size() < 12 + extra_length(rest) || rest.size() < 12;
            members.fault =
                FileFault::at(cut && rest.starts_with("\x1f\x8b") ? FileFault::Kind::Cut
                                                                  : FileFault::Kind::NotBgzf,
                              at);
            break;
        }
        if (length > rest.size()) {
            members.fault = FileFault::at(FileFault::Kind::Cut, at);
            break;
        }
        members.offsets.push_back(at);
        members.sizes.push_back(little32(rest.data() + length - 4));
        at += length;
    }
    members.offsets.push_back(at);
    return members;
}

}  // namespace molvane::core
