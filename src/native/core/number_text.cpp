#include "core/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace molvane::core {

namespace {

constexpr bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

constexpr char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_folded(std::string_view text, std::string_view word) noexcept {
    if (text.size() != word.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (lower(text[i]) != word[i]) return false;
    return true;
}

std::string_view strip_blanks(std::string_view value) noexcept {
    size_t begin = 0;
    size_t end = value.size();
    while (begin < end && (value[begin] == ' ' || value[begin] == '\t'))
        ++begin;
    while (end > begin && (value[end - 1] == ' ' || value[end - 1] == '\t'))
        --end;
    return value.substr(begin, end - begin);
}

size_t skip_digits(std::string_view text, size_t at) noexcept {
    while (at < text.size() && is_digit(text[at]))
        ++at;
    return at;
}

// Whether `body` (no sign) matches the decimal float grammar.
bool is_decimal_float(std::string_view body) noexcept {
    size_t at = skip_digits(body, 0);
    size_t integer_digits = at;
    size_t fraction_digits = 0;
    if (at < body.size() && body[at] == '.') {
        size_t end = skip_digits(body, at + 1);
        fraction_digits = end - at - 1;
        at = end;
    }
    if (integer_digits == 0 && fraction_digits == 0) return false;
    if (at < body.size() && (body[at] == 'e' || body[at] == 'E')) {
        ++at;
        if (at < body.size() && (body[at] == '+' || body[at] == '-')) ++at;
        size_t end = skip_digits(body, at);
        if (end == at) return false;
        at = end;
    }
    return at == body.size();
}

// Whether `real` is exactly the integer of `digits` (no sign), as
// from_chars rounded it: its exact decimal expansion is those digits.
bool holds_exactly(double real, std::string_view digits) noexcept {
    while (digits.size() > 1 && digits[0] == '0')
        digits.remove_prefix(1);
    if (digits.size() > 400) return false;  // beyond double's range anyway
    char text[410];
    auto [end, error] = std::to_chars(text, text + sizeof text, real < 0 ? -real : real,
                                      std::chars_format::fixed, 0);
    return error == std::errc() &&
           std::string_view(text, static_cast<size_t>(end - text)) == digits;
}

// Whether an int64's double converts back to it (doubles of 2**63 and up do not fit).
bool holds_exactly(int64_t integer, double real) noexcept {
    return real < 9223372036854775808.0 && static_cast<int64_t>(real) == integer;
}

}  // namespace

NumberValue read_number(std::string_view value) noexcept {
    std::string_view text = strip_blanks(value);
    NumberValue result;
    if (text.empty()) {
        result.kind = NumberKind::Empty;
        return result;
    }
    bool negative = text[0] == '-';
    std::string_view body = text[0] == '+' || text[0] == '-' ? text.substr(1) : text;
    if (body.empty()) return result;

    if (skip_digits(body, 0) == body.size()) {
        // Accumulated as a negative number, whose range holds -2**63.
        constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
        int64_t accumulated = 0;
        bool fits = true;
        for (char c : body) {
            const int64_t digit = c - '0';
            if (accumulated < (kMin + digit) / 10) {
                fits = false;
                break;
            }
            accumulated = accumulated * 10 - digit;
        }
        if (fits && (negative || accumulated != kMin)) {
            result.kind = NumberKind::Integer;
            result.integer = negative ? accumulated : -accumulated;
            // "-0" is the integer 0, but the float -0.0 in a float column,
            // as every float parser reads it.
            result.real =
                negative && result.integer == 0 ? -0.0 : static_cast<double>(result.integer);
            result.exact = holds_exactly(result.integer, result.real);
            return result;
        }
    }

    if (equals_folded(body, "nan")) {
        result.kind = NumberKind::Float;
        result.real = negative ? -std::numeric_limits<double>::quiet_NaN()
                               : std::numeric_limits<double>::quiet_NaN();
        return result;
    }
    if (equals_folded(body, "inf") || equals_folded(body, "infinity")) {
        result.kind = NumberKind::Float;
        result.real = negative ? -std::numeric_limits<double>::infinity()
                               : std::numeric_limits<double>::infinity();
        return result;
    }
    if (!is_decimal_float(body)) return result;
    double parsed = 0.0;
    auto [end, error] =
        std::from_chars(body.data(), body.data() + body.size(), parsed, std::chars_format::general);
    if (error != std::errc() || end != body.data() + body.size()) return result;
    result.kind = NumberKind::Float;
    result.real = negative ? -parsed : parsed;
    // An integer literal beyond int64 reads as a float, exact or not.
    if (skip_digits(body, 0) == body.size()) result.exact = holds_exactly(parsed, body);
    return result;
}

size_t integer_text(int64_t value, char* out) noexcept {
    return static_cast<size_t>(std::to_chars(out, out + kNumberTextSize, value).ptr - out);
}

size_t real_text(double value, char* out) noexcept {
    auto put = [out](std::string_view text) {
        std::memcpy(out, text.data(), text.size());
        return text.size();
    };
    if (std::isnan(value)) return put("nan");
    if (std::isinf(value)) return put(value < 0 ? "-inf" : "inf");
    if (value == 0) return put(std::signbit(value) ? "-0.0" : "0.0");
    // to_chars gives the shortest digits that read back as `value`, the
    // digits repr() writes, as [-]d[.ddd]e[+-]XX.
    char scientific[kNumberTextSize];
    const char* end = std::to_chars(scientific, scientific + sizeof scientific, value,
                                    std::chars_format::scientific)
                          .ptr;
    const char* at = scientific;
    size_t n = 0;
    if (*at == '-') {
        out[n++] = '-';
        ++at;
    }
    char digits[kNumberTextSize];
    size_t count = 0;
    for (; at < end && *at != 'e'; ++at)
        if (*at != '.') digits[count++] = *at;
    int exponent = 0;
    std::from_chars(at + 1 + (at[1] == '+' ? 1 : 0), end, exponent);
    const int point = exponent + 1;  // digits before the decimal point
    const auto whole = static_cast<size_t>(point > 0 ? point : 0);
    if (point <= -4 || point > 16) {
        out[n++] = digits[0];
        if (count > 1) {
            out[n++] = '.';
            for (size_t i = 1; i < count; ++i)
                out[n++] = digits[i];
        }
        out[n++] = 'e';
        out[n++] = exponent < 0 ? '-' : '+';
        const int size = exponent < 0 ? -exponent : exponent;
        if (size < 10) out[n++] = '0';
        n += static_cast<size_t>(std::to_chars(out + n, out + kNumberTextSize, size).ptr -
                                 (out + n));
    } else if (point <= 0) {
        out[n++] = '0';
        out[n++] = '.';
        for (int i = point; i < 0; ++i)
            out[n++] = '0';
        for (size_t i = 0; i < count; ++i)
            out[n++] = digits[i];
    } else {
        for (size_t i = 0; i < whole; ++i)
            out[n++] = i < count ? digits[i] : '0';
        out[n++] = '.';
        if (count <= whole) out[n++] = '0';
        for (size_t i = whole; i < count; ++i)
            out[n++] = digits[i];
    }
    return n;
}

}  // namespace molvane::core
