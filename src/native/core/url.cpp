#include "core/url.hpp"

namespace molvane::core {

namespace {

bool is_letter(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_scheme_char(char c) noexcept {
    return is_letter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

}  // namespace

bool is_url(std::string_view text) noexcept {
    if (text.empty() || !is_letter(text[0])) return false;
    std::size_t i = 1;
    while (i < text.size() && is_scheme_char(text[i]))
        ++i;
    return text.substr(i, 3) == "://";
}

}  // namespace molvane::core
