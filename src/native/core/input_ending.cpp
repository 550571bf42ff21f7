#include "core/input_ending.hpp"

#include "core/dollar_line.hpp"

namespace molvane::core {

namespace {

constexpr bool is_blank_byte(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
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

}  // namespace molvane::core
