#include "core/depict/elements.hpp"

#include <array>

namespace molvane::depict {
namespace {

// Symbols in order of atomic number, from 1.
constexpr std::array<std::string_view, 118> kSymbols = {
    "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si", "P",
    "S",  "Cl", "Ar", "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni", "Cu", "Zn",
    "Ga", "Ge", "As", "Se", "Br", "Kr", "Rb", "Sr", "Y",  "Zr", "Nb", "Mo", "Tc", "Ru", "Rh",
    "Pd", "Ag", "Cd", "In", "Sn", "Sb", "Te", "I",  "Xe", "Cs", "Ba", "La", "Ce", "Pr", "Nd",
    "Pm", "Sm", "Eu", "Gd", "Tb", "Dy", "Ho", "Er", "Tm", "Yb", "Lu", "Hf", "Ta", "W",  "Re",
    "Os", "Ir", "Pt", "Au", "Hg", "Tl", "Pb", "Bi", "Po", "At", "Rn", "Fr", "Ra", "Ac", "Th",
    "Pa", "U",  "Np", "Pu", "Am", "Cm", "Bk", "Cf", "Es", "Fm", "Md", "No", "Lr", "Rf", "Db",
    "Sg", "Bh", "Hs", "Mt", "Ds", "Rg", "Cn", "Nh", "Fl", "Mc", "Lv", "Ts", "Og",
};

}  // namespace

int atomic_number(std::string_view symbol) noexcept {
    if (symbol.empty() || symbol.size() > 2) return 0;
    for (std::size_t i = 0; i < kSymbols.size(); ++i)
        if (kSymbols[i] == symbol) return static_cast<int>(i) + 1;
    return 0;
}

std::string_view label_colour(int atomic_number) noexcept {
    // Darkened CPK colours, legible as text on white.
    switch (atomic_number) {
        case 7: return "#2233CC";
        case 8: return "#DD0000";
        case 9:
        case 17: return "#1A9A1A";
        case 15: return "#E07000";
        case 16: return "#B39500";
        case 35: return "#A62929";
        case 53: return "#940094";
        case 5: return "#C07070";
        default: return "#000000";
    }
}

}  // namespace molvane::depict
