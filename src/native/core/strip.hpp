// ASCII whitespace as bytes.strip() knows it, and the narrower set allowed
// after a block's `$$$$` line or a molblock's `M  END` line.
#pragma once

#include <string_view>

namespace molvane::core {

// Tab, LF, vertical tab, form feed, CR and space.
constexpr bool is_ascii_space(unsigned char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// As is_ascii_space, without the vertical tab.
constexpr bool is_tail_space(unsigned char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

constexpr std::string_view lstrip(std::string_view s) noexcept {
    size_t i = 0;
    while (i < s.size() && is_ascii_space(static_cast<unsigned char>(s[i])))
        ++i;
    return s.substr(i);
}

constexpr std::string_view rstrip(std::string_view s) noexcept {
    size_t n = s.size();
    while (n > 0 && is_ascii_space(static_cast<unsigned char>(s[n - 1])))
        --n;
    return s.substr(0, n);
}

constexpr std::string_view strip(std::string_view s) noexcept {
    return rstrip(lstrip(s));
}

constexpr bool is_all_tail_space(std::string_view s) noexcept {
    for (char c : s)
        if (!is_tail_space(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace molvane::core
