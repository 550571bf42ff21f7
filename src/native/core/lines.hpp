// Lines of block text: a line ends with (and includes) one LF; its ending is
// that LF plus one CR directly before it, if any.
#pragma once

#include <cstring>
#include <string_view>

#include "core/strip.hpp"

namespace molvane::core {

inline constexpr size_t npos = std::string_view::npos;

// First position of `c` in [from, text.size()), or npos.
inline size_t find_byte(std::string_view text, size_t from, char c) noexcept {
    if (from >= text.size()) return npos;
    const void* hit = std::memchr(text.data() + from, c, text.size() - from);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : npos;
}

// First position of `needle` in [from, text.size()), or npos.
inline size_t find_bytes(std::string_view text, size_t from, std::string_view needle) noexcept {
    if (from > text.size() || needle.size() > text.size() - from) return npos;
    const void* hit = memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : npos;
}

// End of the line starting at `pos`: just past its LF, or the end of the text.
inline size_t next_line(std::string_view text, size_t pos) noexcept {
    size_t lf = find_byte(text, pos, '\n');
    return lf == npos ? text.size() : lf + 1;
}

// The line without its ending: one trailing LF, then one CR before it.
constexpr std::string_view line_content(std::string_view line) noexcept {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// A line whose bytes, ending included, are all ASCII whitespace.
constexpr bool is_blank(std::string_view line) noexcept {
    if (!line.empty() && static_cast<unsigned char>(line.front()) > ' ') return false;
    for (char c : line)
        if (!is_ascii_space(static_cast<unsigned char>(c))) return false;
    return true;
}

// Position just past the first blank line at or after `pos` (below `end`), or `end`.
inline size_t skip_to_blank_line(std::string_view text, size_t pos, size_t end) noexcept {
    std::string_view range = text.substr(0, end);
    while (pos < end) {
        size_t line_end = next_line(range, pos);
        if (is_blank(range.substr(pos, line_end - pos))) return line_end;
        pos = line_end;
    }
    return end;
}

inline constexpr std::string_view kLF = "\n";
inline constexpr std::string_view kCRLF = "\r\n";

// The ending used wherever a line must be completed, taken from the first line.
inline std::string_view title_line_ending(std::string_view text) noexcept {
    size_t lf = find_byte(text, 0, '\n');
    if (lf != npos) return (lf > 0 && text[lf - 1] == '\r') ? kCRLF : kLF;
    return (!text.empty() && text.back() == '\r') ? kCRLF : kLF;
}

// What completes a text that does not end in LF: only LF after a trailing
// CR, so that the two form one CR LF ending.
inline std::string_view completion_ending(std::string_view text) noexcept {
    if (!text.empty() && text.back() == '\r') return kLF;
    return title_line_ending(text);
}

}  // namespace molvane::core
