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
    return std::clamp(bond_px * 0.55, 7.0, 20.0);
}

}  // namespace

Layout lay_out(const Molecule& molecule, const std::vector<LabelBox>& boxes, double width,
               double height, double padding) {
    double min_x = molecule.atoms.front().x, max_x = min_x;
    double min_y = molecule.atoms.front().y, max_y = min_y;
    for (const Atom& atom : molecule.atoms) {
        min_x = std::min(min_x, atom.x), max_x = std::max(max_x, atom.x);
        min_y = std::min(min_y, atom.y), max_y = std::max(max_y, atom.y);
    }
    const double bond = median_bond(molecule);
    const double span_x = max_x - min_x;
    const double span_y = max_y - min_y;
    if (padding < 0) padding = std::min(width, height) * 0.03;
    const double room_x = std::max(width - 2 * padding, 1.0);
    const double room_y = std::max(height - 2 * padding, 1.0);
    // How far labels reach past the atoms' extent on each side, in pixels,
    // at a scale and its font size.
    struct Reach {
        double left = 0, right = 0, top = 0, bottom = 0;
    };
    const auto reach = [&](double scale, double font) {
        Reach r;
        for (std::size_t i = 0; i < molecule.atoms.size(); ++i) {
            const Atom& atom = molecule.atoms[i];
            const LabelBox& box = boxes[i];
            r.left = std::max(r.left, box.left * font - (atom.x - min_x) * scale);
            r.right = std::max(r.right, box.right * font - (max_x - atom.x) * scale);
            r.top = std::max(r.top, box.up * font - (max_y - atom.y) * scale);
            r.bottom = std::max(r.bottom, box.down * font - (atom.y - min_y) * scale);
        }
        return r;
    };
    double scale = std::min(width, height) * 0.25 / bond;  // no bond longer than this
    Reach r;
    // The font follows the scale and the labels' reach follows the font: a
    // few rounds settle both (the scale only shrinks).
    for (int round = 0; round < 3; ++round) {
        r = reach(scale, font_for(scale * bond));
        const double fit_x = std::max(room_x - r.left - r.right, room_x * 0.25);
        const double fit_y = std::max(room_y - r.top - r.bottom, room_y * 0.25);
        if (span_x > 0) scale = std::min(scale, fit_x / span_x);
        if (span_y > 0) scale = std::min(scale, fit_y / span_y);
    }
    r = reach(scale, font_for(scale * bond));
    Layout layout;
    layout.bond_length = scale * bond;
    layout.font_size = font_for(layout.bond_length);
    // Centre the atoms and their labels together.
    const double left = width / 2 - (span_x * scale + r.left + r.right) / 2 + r.left;
    const double top = height / 2 - (span_y * scale + r.top + r.bottom) / 2 + r.top;
    layout.atoms.reserve(molecule.atoms.size());
    for (const Atom& atom : molecule.atoms)
        layout.atoms.push_back({left + (atom.x - min_x) * scale, top + (max_y - atom.y) * scale});
    return layout;
}

}  // namespace molvane::depict
