// Universal newline translation for text input: "\r\n" and a lone "\r"
// become "\n", as Python's universal-newlines mode reads text.
#pragma once

#include <string>
#include <string_view>

namespace molvane::core {

// Rewrites buf[0, n) in place and returns the new length. `cr_carry` links
// consecutive pieces of one text: set when a piece ends in CR, so that an LF
// opening the next piece is dropped rather than doubling the line break.
size_t translate_newlines(char* buf, size_t n, bool& cr_carry) noexcept;

// An owned copy of `text` with newlines translated; `first_cr` is the position
// of its first CR (npos, or text.size(), when it has none: a plain copy).
std::string translated_copy(std::string_view text, size_t first_cr);

// `text` with newlines translated: `text` itself when it holds no CR, else a
// translated copy kept in `scratch`.
std::string_view translated_view(std::string_view text, std::string& scratch);

}  // namespace molvane::core
