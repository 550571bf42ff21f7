#include "core/depict/svg_text.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>

namespace molvane::depict {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool xml_allows(char32_t c) noexcept {
    if (c < 0x20) return c == 0x09 || c == 0x0A || c == 0x0D;
    if (c >= 0xD800 && c <= 0xDFFF) return false;
    return c != 0xFFFE && c != 0xFFFF && c <= 0x10FFFF;
}

// Decodes one UTF-8 sequence at text[pos]; returns its length, 0 if invalid.
std::size_t decode_utf8(std::string_view text, std::size_t pos, char32_t& code_point) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1Fu, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0Fu, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07u, minimum = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i) & 0x3Fu);
    }
    if (value < minimum) return 0;
    code_point = value;
    return length;
}

}  // namespace

SvgText& SvgText::number(double value) {
    if (!std::isfinite(value)) value = 0;
    double rounded = std::round(value * 10) / 10;
    if (rounded == 0) rounded = 0;  // no "-0.0"
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, rounded, std::chars_format::fixed, 1);
    std::string_view written(buffer, static_cast<std::size_t>(result.ptr - buffer));
    if (written.size() > 2 && written.substr(written.size() - 2) == ".0") written.remove_suffix(2);
    out_.append(written);
    return *this;
}

SvgText& SvgText::integer(long long value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, static_cast<std::size_t>(result.ptr - buffer));
    return *this;
}

void SvgText::append_code_point(char32_t c) {
    if (!xml_allows(c)) c = kReplacement;
    switch (c) {
        case '&': out_ += "&amp;"; return;
        case '<': out_ += "&lt;"; return;
        case '>': out_ += "&gt;"; return;
        case '"': out_ += "&quot;"; return;
        case '\'': out_ += "&apos;"; return;
        // Kept as references: attribute values would normalise them to spaces.
        case '\t': out_ += "&#9;"; return;
        case '\n': out_ += "&#10;"; return;
        case '\r': out_ += "&#13;"; return;
        default: break;
    }
    if (c < 0x80) {
        out_ += static_cast<char>(c);
    } else if (c < 0x800) {
        out_ += static_cast<char>(0xC0 | (c >> 6));
        out_ += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out_ += static_cast<char>(0xE0 | (c >> 12));
        out_ += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out_ += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out_ += static_cast<char>(0xF0 | (c >> 18));
        out_ += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out_ += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out_ += static_cast<char>(0x80 | (c & 0x3F));
    }
}

SvgText& SvgText::text(std::string_view table_text) {
    std::size_t pos = 0;
    while (pos < table_text.size()) {
        if (bytes_ == TextBytes::Latin1) {
            append_code_point(static_cast<unsigned char>(table_text[pos++]));
            continue;
        }
        char32_t code_point = 0;
        const std::size_t length = decode_utf8(table_text, pos, code_point);
        if (length == 0) {
            append_code_point(kReplacement);
            ++pos;
        } else {
            append_code_point(code_point);
            pos += length;
        }
    }
    return *this;
}

}  // namespace molvane::depict
