// UTF-8 helpers for table lines: code point stepping and the conversions
// between block bytes and table text. Strict validation is core/utf8.hpp's.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace molvane::ctable {

// One code point read from UTF-8 text and the number of bytes it took.
struct CodePoint {
    char32_t value;
    std::size_t length;
};

// Reads the code point starting at text[pos] (pos < text.size()). Table text
// comes from Python strs, so encoded surrogates are accepted as code points;
// any other malformed byte reads as U+FFFD of length 1, so stepping always
// makes progress.
CodePoint decode_code_point(std::string_view text, std::size_t pos);

// Decodes text as UTF-8, replacing every maximal ill-formed subpart by U+FFFD
// (the same replacement count as Python's errors="replace").
std::string decode_utf8_lossy(std::string_view text);

// Each byte becomes the code point of its value.
std::string latin1_to_utf8(std::string_view bytes);

// Each code point becomes one byte; nullopt if a code point is above U+00FF.
std::optional<std::string> utf8_to_latin1(std::string_view text);

}  // namespace molvane::ctable
