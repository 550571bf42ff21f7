// Chemical elements by symbol: atomic numbers and label colours.
#pragma once

#include <string_view>

namespace molvane::depict {

// The atomic number of an element symbol as written in a connection table
// (case as the table writes it, "C", "Cl"); 0 for anything else ("A", "R#",
// "Pol", "D" and "T" are not elements here).
int atomic_number(std::string_view symbol) noexcept;

// The fill colour of an element's label, as "#rrggbb"; black for the rest.
std::string_view label_colour(int atomic_number) noexcept;

}  // namespace molvane::depict
