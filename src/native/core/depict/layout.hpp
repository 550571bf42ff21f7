// Where a molecule goes on the canvas: the table's x and y (z is dropped)
// scaled so the median bond has one length, then fitted into the canvas and
// centred. Small molecules are not blown up past a quarter of the canvas per
// bond; large ones shrink to fit.
#pragma once

#include <vector>

#include "core/depict/molecule.hpp"

namespace molvane::depict {

struct Point {
    double x = 0;
    double y = 0;
};

struct Layout {
    std::vector<Point> atoms;  // canvas positions, y pointing down
    double bond_length = 0;    // the median bond's length on the canvas
    double font_size = 0;
};

// padding < 0 asks for the default, which leaves room for the labels.
Layout lay_out(const Molecule& molecule, double width, double height, double padding);

}  // namespace molvane::depict
