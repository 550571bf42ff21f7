// Table header reading and the text rules shared by all table code: counts-line
// separators, Unicode whitespace, integer fields and the quoted form of text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/ctable/table.hpp"

namespace molvane::ctable {

// Tab, LF, FF, CR, space and the information separators U+001C..U+001F.
bool is_counts_separator(char32_t code_point);

// The Unicode White_Space property (vertical tab and U+0085 included,
// U+001C..U+001F not).
bool is_unicode_whitespace(char32_t code_point);

// Byte range [begin, end) of a field within a line.
struct FieldSpan {
    std::size_t begin;
    std::size_t end;
};

// Yields the fields of a line one by one, a field being a maximal run of
// characters that are not separators. Empty fields are never produced.
class FieldReader {
  public:
    enum class Split { CountsSeparators, UnicodeWhitespace };
    FieldReader(std::string_view text, Split split) : text_(text), split_(split) {}
    std::optional<FieldSpan> next();
    // Skips up to count fields; returns whether all of them were there.
    bool skip(std::size_t count);

  private:
    bool is_separator(char32_t code_point) const;
    std::string_view text_;
    Split split_;
    std::size_t pos_ = 0;
};

// The text between double quotes with backslash, quote, tab, CR, LF and NUL
// escaped, and control, non-printable and combining characters as \u{hex}.
// Text longer than kQuotedCodePoints code points is cut there and ends in
// an ellipsis ("\u2026") before the closing quote.
inline constexpr std::size_t kQuotedCodePoints = 64;
std::string quote(std::string_view text);

// Reads a signed 64-bit integer field (Unicode whitespace trimmed, optional
// sign, ASCII digits only); throws the not-an-integer error naming the field.
std::int64_t read_integer(std::string_view text, std::string_view field_name, std::size_t line);

// Reads format and declared counts from line 4 and, for V3000, line 6. lines
// holds the table's first lines; only the first six count.
Header read_header(std::span<const std::string> lines);

}  // namespace molvane::ctable
