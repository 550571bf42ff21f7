// Compressed input recognised by its first bytes, whatever the file is
// called: gzip (also bgzip and concatenated members), bzip2, xz and zstd.
#pragma once

#include <cstddef>
#include <string_view>

namespace molvane::core {

enum class Compression { None, Gzip, Bzip2, Xz, Zstd };

// Enough leading bytes to tell every format apart (bzip2 needs the most).
inline constexpr std::size_t kCompressionMagicLength = 10;

// The format whose magic `head` starts with, or None; a head shorter than a
// format's magic is not that format.
Compression sniff_compression(std::string_view head) noexcept;

// The format whose magic the first characters of decoded text (`utf8`, the
// text's UTF-8) spell: compressed bytes read through a text decoder. A
// character below U+0100 stands for its byte (latin-1 and the like), U+FFFD
// for any byte from 0x80 up (a decoder that replaces what it cannot decode).
Compression sniff_decoded_compression(std::string_view utf8) noexcept;

// The name of an archive or compression format that is not read, for a
// refusal that says what the file is ("zip archive", "lz4", ...), or "".
// Their magic bytes hold control characters, so no text file starts so.
std::string_view unread_format(std::string_view head) noexcept;

// The compression a path asks for by its suffix (".gz", ".bz2", ".xz",
// ".zst", letters in any case), or None.
Compression compression_by_suffix(std::string_view path) noexcept;

// The short name of a format ("gzip", "bz2", "xz", "zstd"); "" for None.
std::string_view compression_name(Compression compression) noexcept;

}  // namespace molvane::core
