// Implicit hydrogens: the MDL valence model of the connection-table format.
//
// An atom's bonds use `used` valence: the sum of its bond orders (single 1,
// double 2, triple 3; aromatic bonds count 1 each, plus 1 when the atom has
// no double bond and its lowest valence leaves room for one), plus 1 for a
// doublet radical or 2 for a singlet or triplet. Its valence is then:
//   - the table's valence field when set (15 in V2000, -1 in V3000: zero);
//   - otherwise the first default valence of its element and charge that is
//     at least `used`, or `used` itself when none is. Charge shifts an
//     element to the valences of the element with as many valence electrons
//     (N+ takes carbon's 4, O- and N2- fluorine's 1). Periods 3 and below
//     have the expanded valences (S: 2, 4, 6; Cl: 1, 3, 5, 7); period 2 has
//     3 or 5 for five electrons (N: 3, 5), one valence otherwise.
//     Alkali metals: 1 uncharged; alkaline earths: 2, or 1 as a cation;
//     hydrogen: 1 uncharged. Other metals, noble gases and query or pseudo
//     atoms have none, so no implicit hydrogens.
// Implicit hydrogens = valence - used, never below zero.
#pragma once

#include <cstddef>
#include <vector>

#include "core/depict/molecule.hpp"

namespace molvane::depict {

// The valence the model gives an atom of element and charge whose bonds
// use `used` (radicals included).
int default_valence(int element, int charge, int used) noexcept;

// The implicit hydrogen count of every atom of the molecule.
std::vector<int> implicit_hydrogens(const Molecule& molecule);

}  // namespace molvane::depict
