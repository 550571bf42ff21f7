#include "core/input_ending.hpp"

#include "core/dollar_line.hpp"
#include "core/strip.hpp"

namespace molvane::core {

namespace {

constexpr bool is_blank_byte(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

constexpr bool is_space(char c) noexcept {
    return is_ascii_space(static_cast<unsigned char>(c));
}

}  // namespace

InputEnding input_ending(std::string_view tail) noexcept {
    std::size_t text_end = tail.size();
    while (text_end > 0 && is_blank_byte(tail[text_end - 1]))
        --text_end;
    if (text_end == 0) return InputEnding::Unknown;
    const std::size_t last_line = tail.rfind('\n', text_end - 1);
    const std::size_t line_start = last_line == std::string_view::npos ? 0 : last_line + 1;
    if (!starts_with_dollars(tail.substr(line_start))) return InputEnding::Open;
    // The `$$$$` line's own ending, then anything more is blank lines.
    std::string_view after = tail.substr(text_end);
    if (after.starts_with("\r\n"))
        after.remove_prefix(2);
    else if (after.starts_with("\n"))
        after.remove_prefix(1);
    return after.empty() ? InputEnding::Terminated : InputEnding::Blank;
}

bool is_blank_tail(std::string_view piece) noexcept {
    if (piece.empty()) return false;
    for (char c : piece)
        if (!is_space(c)) return false;
    return true;
}

std::size_t blank_tail_start(const char* data, std::size_t size, bool universal) noexcept {
    std::size_t text_end = size;
    while (text_end > 0 && is_space(data[text_end - 1]))
        --text_end;
    if (text_end == size) return size;
    if (text_end == 0) return 0;
    // The line holding the last text: a `$$$$` line there ends the last
    // block, wherever splitting began (see core/block_bounds).
    const auto breaks_line = [universal](char c) { return c == '\n' || (universal && c == '\r'); };
    std::size_t line_start = text_end - 1;
    while (line_start > 0 && !breaks_line(data[line_start - 1]))
        --line_start;
    if (!starts_with_dollars(std::string_view(data + line_start, size - line_start))) return size;
    // The block ends just past that line's ending, as core/split finds it:
    // the LF rule ends lines at LF only; the universal rule at CR, CR LF or LF.
    std::size_t end = text_end;
    while (end < size && !breaks_line(data[end]))
        ++end;
    if (end == size) return size;  // no line ending: the whitespace is part of the last block
    if (data[end] == '\r' && end + 1 < size && data[end + 1] == '\n') ++end;
    return end + 1;
}

}  // namespace molvane::core
