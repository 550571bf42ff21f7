// Which side of a bond its ring lies on: the centre of the smallest ring
// through each bond, so a double bond's second line can be drawn inside.
#pragma once

#include <optional>
#include <vector>

#include "core/depict/layout.hpp"
#include "core/depict/molecule.hpp"

namespace molvane::depict {

// Rings of up to this many atoms are found; larger ones count as no ring.
inline constexpr std::size_t kLargestRing = 10;

// For each bond of type 2 or 4 (double, aromatic), the canvas centre of the
// smallest ring holding it; nothing for other bonds and for chain bonds.
std::vector<std::optional<Point>> ring_centres(const Molecule& molecule,
                                               const std::vector<Point>& positions);

}  // namespace molvane::depict
