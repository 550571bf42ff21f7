// The `$$$$` line that ends a block: any line that starts with "$$$$". A
// block's own text ends in its terminator line, exactly "$$$$\n" or
// "$$$$\r\n". Readers, splitters, edits and pickling all take these rules
// from here.
#pragma once

#include <string_view>

#include "core/lines.hpp"

namespace molvane::core {

inline constexpr std::string_view kDollars = "$$$$";
inline constexpr std::string_view kTerminatorLF = "$$$$\n";
inline constexpr std::string_view kTerminatorCRLF = "$$$$\r\n";

// Whether the line that `text` starts with is a `$$$$` line.
constexpr bool starts_with_dollars(std::string_view text) noexcept {
    return text.starts_with(kDollars);
}

// Whether `line`, its ending included, is a terminator line as a block keeps it.
constexpr bool is_terminator_line(std::string_view line) noexcept {
    return line == kTerminatorLF || line == kTerminatorCRLF;
}

// The terminator line that goes with lines ending in `line_ending`.
constexpr std::string_view terminator_for(std::string_view line_ending) noexcept {
    return line_ending == kCRLF ? kTerminatorCRLF : kTerminatorLF;
}

// The terminator line that a block's text ends with.
constexpr std::string_view terminator_of(std::string_view block_text) noexcept {
    return block_text.ends_with(kCRLF) ? kTerminatorCRLF : kTerminatorLF;
}

// Where the `$$$$` line of one block's text starts (npos if none): the first
// line if it starts with "$$$$", else the line after the first "\n$$$$".
inline size_t find_dollar_line(std::string_view text) noexcept {
    if (starts_with_dollars(text)) return 0;
    size_t hit = find_bytes(text, 0, "\n$$$$");
    return hit == npos ? npos : hit + 1;
}

}  // namespace molvane::core
