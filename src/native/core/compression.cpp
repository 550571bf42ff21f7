#include "core/compression.hpp"

namespace molvane::core {

namespace {

// Whether `got` differs from `want` (of the same size) in at most `most` bytes.
bool near(std::string_view got, std::string_view want, int most) noexcept {
    int differ = 0;
    for (std::size_t i = 0; i < want.size(); ++i)
        differ += got[i] != want[i];
    return differ <= most;
}

}  // namespace

Compression sniff_compression(std::string_view head) noexcept {
    using namespace std::string_view_literals;
    // gzip: the magic and the deflate method, the only one defined.
    if (head.starts_with("\x1f\x8b\x08"sv)) return Compression::Gzip;
    // bzip2: "BZh", a block size digit, then the magic of a first block (or
    // of the end of an empty stream). A title line may well start "BZh1";
    // it will not go on with these bytes, nor with bytes that differ from
    // them in one or two places: those are a damaged archive, left to the
    // decompressor to refuse rather than read as one block of binary text.
    if (head.size() >= 10 && head.starts_with("BZh"sv) && head[3] >= '1' && head[3] <= '9') {
        const std::string_view block = head.substr(4, 6);
        if (near(block, "\x31\x41\x59\x26\x53\x59"sv, 2) ||
            near(block, "\x17\x72\x45\x38\x50\x90"sv, 2))
            return Compression::Bzip2;
    }
    // xz: six bytes of magic, then two of stream flags, the first always 0.
    // No text starts with byte 0xfd (it is not UTF-8 either), so a magic
    // damaged after it is still taken for xz, to be refused by the decoder.
    if (head.size() >= 6 &&
        near(head.substr(0, 6),
             "\xfd"
             "7zXZ\0"sv,
             2) &&
        head[0] == '\xfd')
        return Compression::Xz;
    if (head.starts_with("\x28\xb5\x2f\xfd"sv)) return Compression::Zstd;
    return Compression::None;
}

std::string_view unread_format(std::string_view head) noexcept {
    using namespace std::string_view_literals;
    if (head.starts_with("PK\x03\x04"sv) || head.starts_with("PK\x05\x06"sv)) return "zip archive";
    if (head.starts_with("\x04\x22\x4d\x18"sv)) return "lz4";
    if (head.starts_with("7z\xbc\xaf\x27\x1c"sv)) return "7z archive";
    if (head.starts_with("Rar!\x1a\x07"sv)) return "rar archive";
    return "";
}

namespace {

// Whether `path` ends in `suffix` (lower case ASCII), letters in any case:
// OUT.SDF.GZ is as compressed as out.sdf.gz.
bool ends_with_any_case(std::string_view path, std::string_view suffix) noexcept {
    if (path.size() < suffix.size()) return false;
    const std::string_view end = path.substr(path.size() - suffix.size());
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        char c = end[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

}  // namespace

Compression compression_by_suffix(std::string_view path) noexcept {
    if (ends_with_any_case(path, ".gz")) return Compression::Gzip;
    if (ends_with_any_case(path, ".bz2")) return Compression::Bzip2;
    if (ends_with_any_case(path, ".xz")) return Compression::Xz;
    if (ends_with_any_case(path, ".zst")) return Compression::Zstd;
    return Compression::None;
}

std::string_view compression_name(Compression compression) noexcept {
    switch (compression) {
        case Compression::Gzip: return "gzip";
        case Compression::Bzip2: return "bz2";
        case Compression::Xz: return "xz";
        case Compression::Zstd: return "zstd";
        case Compression::None: break;
    }
    return "";
}

Compression sniff_decoded_compression(std::string_view utf8) noexcept {
    using namespace std::string_view_literals;
    char bytes[kCompressionMagicLength];
    bool any_byte[kCompressionMagicLength] = {};
    std::size_t count = 0;
    std::size_t at = 0;
    while (at < utf8.size() && count < kCompressionMagicLength) {
        const auto lead = static_cast<unsigned char>(utf8[at]);
        const auto next = [&](std::size_t k) {
            return static_cast<unsigned char>(utf8[at + k]) & 0x3Fu;
        };
        unsigned code = lead;
        std::size_t length = 1;
        if (lead >= 0x80) {
            if ((lead & 0xE0u) == 0xC0u && at + 1 < utf8.size()) {
                code = ((lead & 0x1Fu) << 6) | next(1);
                length = 2;
            } else if ((lead & 0xF0u) == 0xE0u && at + 2 < utf8.size()) {
                code = ((lead & 0x0Fu) << 12) | (next(1) << 6) | next(2);
                length = 3;
            } else {
                break;
            }
        }
        if (code == 0xFFFDu) {
            any_byte[count] = true;
            bytes[count++] = '\x80';
        } else if (code < 0x100u) {
            bytes[count++] = static_cast<char>(code);
        } else {
            break;
        }
        at += length;
    }
    const std::string_view head(bytes, count);
    struct Magic {
        std::string_view bytes;
        Compression compression;
    };
    static constexpr Magic kMagics[] = {{"\x1f\x8b\x08"sv, Compression::Gzip},
                                        {"\xfd\x37\x7a\x58\x5a\x00"sv, Compression::Xz},
                                        {"\x28\xb5\x2f\xfd"sv, Compression::Zstd}};
    for (const Magic& magic : kMagics) {
        if (head.size() < magic.bytes.size()) continue;
        bool same = true;
        for (std::size_t k = 0; k < magic.bytes.size() && same; ++k) {
            const auto expected = static_cast<unsigned char>(magic.bytes[k]);
            same = any_byte[k] ? expected >= 0x80 : head[k] == magic.bytes[k];
        }
        if (same) return magic.compression;
    }
    // bzip2's magic is ASCII, which every decoder keeps.
    return sniff_compression(head);
}

}  // namespace molvane::core
