// The kinds of value a record column holds, and the one rule that types it.
// The table builder keeps a ValueKinds per column, a scan keeps one per name,
// and the parts of an input (byte ranges, files) are joined with join(), so
// that every road gives a column the same type.
//
// The rule, over the column's non-empty values (core/number_text reads them):
//
//   int64    every value is an integer within int64;
//   float64  every value is a number, and every integer among them is one
//            that a double holds exactly (an integer beyond 2**53 next to
//            floats would not read back as written);
//   text     anything else, and a column without a non-empty value.
//
// So int and float widen to float64 only while no value changes, int64
// overflow is float64 only where exact, and text anywhere is text everywhere.
#pragma once

#include <optional>
#include <string_view>

#include "core/number_text.hpp"

namespace molvane::core {

enum class ColumnType { String, Int64, Float64 };

struct ValueKinds {
    bool any_number = false;   // some value is a number
    bool all_integers = true;  // every number is an integer within int64
    bool all_reals = true;     // every non-empty value is a number
    bool all_exact = true;     // every integer literal is a double exactly

    void add(const NumberValue& number) noexcept;
    void join(const ValueKinds& other) noexcept;
    // Whether no later value can change the type: text now, text for good.
    bool settled() const noexcept { return !all_reals || (!all_integers && !all_exact); }
    // The type of the rule above (String without inference); `forced` wins.
    ColumnType type(std::optional<ColumnType> forced = std::nullopt,
                    bool infer = true) const noexcept;

    // A word for what was seen, the state to join by: "empty", "int",
    // "wide-int" (within int64, some beyond a double's exact range),
    // "float" or "text".
    std::string_view word() const noexcept;
    // The kinds of a word of word(); nothing for another word.
    static std::optional<ValueKinds> from_word(std::string_view word) noexcept;
};

// The name of a type for the table options' mappings: "int", "float", "str".
std::string_view type_word(ColumnType type) noexcept;

}  // namespace molvane::core
