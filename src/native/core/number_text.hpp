// Which SD data values read as numbers, for the typed columns of tables.
//
// The grammar, applied after spaces and tabs around the value are stripped
// (a value that is then empty counts as empty, not as a number):
//
//   integer := sign? digit+                          and -2**63 <= value < 2**63
//   float   := sign? (digit+ ("." digit*)? | "." digit+) (("e" | "E") sign? digit+)?
//            | sign? ("nan" | "inf" | "infinity")    letters in any case
//   sign    := "+" | "-"
//
// Leading zeros are allowed ("007" is 7). An integer outside int64 is still a
// float ("9223372036854775808" is 9.223372036854776e18). `exact` tells whether
// an integer's double is the integer itself (true for every float literal),
// which core/value_kinds asks before it widens a column. A float literal whose
// value lies outside double's range ("1e999", or one that underflows) is not
// a number: the value is kept as text rather than turned into inf or 0.
// Anything else (hex, "1_000", "1,5", a line break inside) is text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace molvane::core {

enum class NumberKind { Empty, Integer, Float, Text };

struct NumberValue {
    NumberKind kind = NumberKind::Text;
    int64_t integer = 0;  // set for Integer
    double real = 0.0;    // set for Integer and Float
    bool exact = true;    // `real` is exactly the integer written
};

NumberValue read_number(std::string_view value) noexcept;

// The text from_table writes for a number, so that a table can tell which
// values it read were written otherwise ("007", "4.260", "120" in a float
// column) and keep their text. Integers are plain decimals; reals are
// Python's repr(): the shortest digits that read back as the same double,
// in fixed notation with at least one decimal from 1e-4 up to 1e16, else as
// d.ddde+XX; "nan", "inf", "-inf". Both write at most kNumberTextSize chars
// to `out` and return how many.
constexpr size_t kNumberTextSize = 32;
size_t integer_text(int64_t value, char* out) noexcept;
size_t real_text(double value, char* out) noexcept;

}  // namespace molvane::core
