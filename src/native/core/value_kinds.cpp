#include "core/value_kinds.hpp"

namespace molvane::core {

void ValueKinds::add(const NumberValue& number) noexcept {
    switch (number.kind) {
        case NumberKind::Empty: return;
        case NumberKind::Text: all_reals = false; return;
        case NumberKind::Integer: break;
        case NumberKind::Float: all_integers = false; break;
    }
    any_number = true;
    all_exact = all_exact && number.exact;
}

void ValueKinds::join(const ValueKinds& other) noexcept {
    any_number = any_number || other.any_number;
    all_integers = all_integers && other.all_integers;
    all_reals = all_reals && other.all_reals;
    all_exact = all_exact && other.all_exact;
}

ColumnType ValueKinds::type(std::optional<ColumnType> forced, bool infer) const noexcept {
    if (forced) return *forced;
    if (!infer || !any_number || !all_reals) return ColumnType::String;
    if (all_integers) return ColumnType::Int64;
    return all_exact ? ColumnType::Float64 : ColumnType::String;
}

std::string_view ValueKinds::word() const noexcept {
    if (settled()) return "text";
    if (!any_number) return "empty";
    if (!all_integers) return "float";
    return all_exact ? "int" : "wide-int";
}

std::optional<ValueKinds> ValueKinds::from_word(std::string_view word) noexcept {
    ValueKinds kinds;
    if (word == "empty") return kinds;
    if (word == "text") {
        kinds.all_reals = false;
        return kinds;
    }
    kinds.any_number = true;
    if (word == "int") return kinds;
    if (word == "wide-int") {
        kinds.all_exact = false;
        return kinds;
    }
    if (word == "float") {
        kinds.all_integers = false;
        return kinds;
    }
    return std::nullopt;
}

std::string_view type_word(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::Int64: return "int";
        case ColumnType::Float64: return "float";
        case ColumnType::String: break;
    }
    return "str";
}

}  // namespace molvane::core
