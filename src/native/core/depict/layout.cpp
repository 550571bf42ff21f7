#include "core/depict/layout.hpp"

#include <algorithm>
#include <cmath>

namespace molvane::depict {
namespace {

// The table's median bond length; a typical 1.5 without bonds of any length.
double median_bond(const Molecule& molecule) {
    std::vector<double> lengths;
    lengths.reserve(molecule.bonds.size());
    for (const Bond& bond : molecule.bonds) {
        const Atom& a = molecule.atoms[bond.a];
        const Atom& b = molecule.atoms[bond.b];
        const double length = std::hypot(a.x - b.x, a.y - b.y);
        if (length > 1e-6) lengths.push_back(length);
    }
    if (lengths.empty()) return 1.5;
    auto middle = lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2);
    std::nth_element(lengths.begin(), middle, lengths.end());
    return *middle;
}

double font_for(double bond_px) {
    return std::clamp(bond_px * 0.5, 7.0, 20.0);
}

}  // namespace

Layout lay_out(const Molecule& molecule, double width, double height, double padding) {
    double min_x = molecule.atoms.front().x, max_x = min_x;
    double min_y = molecule.atoms.front().y, max_y = min_y;
    for (const Atom& atom : molecule.atoms) {
        min_x = std::min(min_x, atom.x), max_x = std::max(max_x, atom.x);
        min_y = std::min(min_y, atom.y), max_y = std::max(max_y, atom.y);
    }
    const double bond = median_bond(molecule);
    const double span_x = max_x - min_x;
    const double span_y = max_y - min_y;
    const double max_bond_px = std::min(width, height) * 0.25;
    const auto scale_for = [&](double pad) {
        double scale = max_bond_px / bond;
        const double room_x = std::max(width - 2 * pad, 1.0);
        const double room_y = std::max(height - 2 * pad, 1.0);
        if (span_x > 0) scale = std::min(scale, room_x / span_x);
        if (span_y > 0) scale = std::min(scale, room_y / span_y);
        return scale;
    };
    // A first fit gives the font size; the labels' room then sets the padding.
    double scale = scale_for(padding >= 0 ? padding : std::min(width, height) * 0.04);
    if (padding < 0) {
        padding = std::min(width, height) * 0.02 + font_for(scale * bond) * 0.8;
        scale = scale_for(padding);
    }
    Layout layout;
    layout.bond_length = scale * bond;
    layout.font_size = font_for(layout.bond_length);
    const double centre_x = (min_x + max_x) / 2;
    const double centre_y = (min_y + max_y) / 2;
    layout.atoms.reserve(molecule.atoms.size());
    for (const Atom& atom : molecule.atoms)
        layout.atoms.push_back(
            {width / 2 + (atom.x - centre_x) * scale, height / 2 - (atom.y - centre_y) * scale});
    return layout;
}

}  // namespace molvane::depict
