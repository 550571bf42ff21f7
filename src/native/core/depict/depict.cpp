#include "core/depict/depict.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "core/depict/elements.hpp"
#include "core/depict/hydrogens.hpp"
#include "core/depict/layout.hpp"
#include "core/depict/molecule.hpp"
#include "core/depict/rings.hpp"

namespace molvane::depict {
namespace {

constexpr std::string_view kInk = "#000000";

struct Vec {
    double x = 0;
    double y = 0;
};

Vec operator-(Point a, Point b) {
    return {a.x - b.x, a.y - b.y};
}
Point operator+(Point p, Vec v) {
    return {p.x + v.x, p.y + v.y};
}
Vec operator*(Vec v, double k) {
    return {v.x * k, v.y * k};
}
double length(Vec v) {
    return std::hypot(v.x, v.y);
}

void open_svg(SvgText& out, const Options& options, std::string_view kind) {
    out.raw("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"molvane-depiction")
        .raw(kind)
        .raw("\" width=\"")
        .number(options.width)
        .raw("\" height=\"")
        .number(options.height)
        .raw("\" viewBox=\"0 0 ")
        .number(options.width)
        .raw(" ")
        .number(options.height)
        .raw("\">");
    if (!options.background.empty()) {
        out.raw("<rect width=\"100%\" height=\"100%\" fill=\"")
            .text(options.background)
            .raw("\"/>");
    }
}

std::string placeholder(std::string_view reason, TextBytes bytes, const Options& options) {
    SvgText out(bytes);
    open_svg(out, options, " placeholder");
    const double font = std::clamp(std::min(options.width, options.height) * 0.08, 6.0, 16.0);
    out.raw("<text x=\"")
        .number(options.width / 2)
        .raw("\" y=\"")
        .number(options.height / 2 + font * 0.35)
        .raw("\" font-family=\"sans-serif\" font-size=\"")
        .number(font)
        .raw("\" text-anchor=\"middle\" fill=\"#888888\">")
        .text(reason)
        .raw("</text></svg>");
    return std::move(out.str());
}

// What an atom's label shows, and where the label's hydrogens go.
struct Label {
    bool shown = false;
    double radius = 0;  // bonds stop this far from the atom
};

class Drawing {
  public:
    Drawing(const Molecule& molecule, TextBytes bytes, const Options& options)
        : molecule_(molecule), options_(options), out_(bytes) {}

    std::string draw() {
        layout_ = lay_out(molecule_, options_.width, options_.height, options_.padding);
        hydrogens_ = implicit_hydrogens(molecule_);
        degree_.assign(molecule_.atoms.size(), 0);
        for (const Bond& bond : molecule_.bonds)
            ++degree_[bond.a], ++degree_[bond.b];
        labels_.resize(molecule_.atoms.size());
        for (std::size_t i = 0; i < molecule_.atoms.size(); ++i) {
            labels_[i].shown = shows_label(i);
            labels_[i].radius = labels_[i].shown ? layout_.font_size * 0.6 : 0;
        }
        const double bond_px = layout_.bond_length;
        line_width_ = std::clamp(bond_px * 0.05, 0.6, 2.0);
        open_svg(out_, options_, "");
        draw_bonds();
        draw_atoms();
        out_.raw("</svg>");
        return std::move(out_.str());
    }

  private:
    bool shows_label(std::size_t i) const {
        const Atom& atom = molecule_.atoms[i];
        if (atom.element != 6 || !atom.label.empty()) return true;
        return atom.charge != 0 || atom.isotope != 0 || atom.radical != 0 || degree_[i] <= 1;
    }

    // --- bonds ---------------------------------------------------------------

    void segment(Point a, Point b) {
        out_.raw("M").number(a.x).raw(" ").number(a.y).raw("L").number(b.x).raw(" ").number(b.y);
    }

    // Dashes from a to b, as subpaths of the current path.
    void dashes(Point a, Point b) {
        const Vec d = b - a;
        const double total = length(d);
        const double step = std::max(layout_.bond_length * 0.1, 2.0);
        const int count = std::max(1, static_cast<int>(total / step));
        for (int k = 0; k < count; k += 2) {
            const double t0 = k / static_cast<double>(count);
            const double t1 = std::min(1.0, (k + 1) / static_cast<double>(count));
            segment(a + d * t0, a + d * t1);
        }
    }

    void begin_bond(const Bond& bond, std::string_view kind) {
        out_.raw("<path class=\"bond")
            .raw(kind)
            .raw("\" data-type=\"")
            .integer(bond.type)
            .raw("\" d=\"");
    }

    void draw_bonds() {
        out_.raw("<g class=\"bonds\" stroke=\"")
            .raw(kInk)
            .raw("\" stroke-width=\"")
            .number(line_width_)
            .raw("\" stroke-linecap=\"round\" fill=\"none\">");
        const std::vector<std::optional<Point>> centres = ring_centres(molecule_, layout_.atoms);
        for (std::size_t k = 0; k < molecule_.bonds.size(); ++k)
            draw_bond(molecule_.bonds[k], centres[k]);
        out_.raw("</g>");
    }

    void draw_bond(const Bond& bond, const std::optional<Point>& ring_centre) {
        Point a = layout_.atoms[bond.a];
        Point b = layout_.atoms[bond.b];
        const Vec d = b - a;
        const double full = length(d);
        // Atoms on one spot still get their (empty) path: one per bond.
        const Vec unit = full < 1e-9 ? Vec{1, 0} : d * (1 / full);
        const double cut_a = labels_[bond.a].radius, cut_b = labels_[bond.b].radius;
        // Bonds stop short of labels, unless the labels would swallow them.
        if (cut_a + cut_b < full * 0.9) {
            a = a + unit * cut_a;
            b = b + unit * -cut_b;
        }
        const Vec normal{-unit.y, unit.x};
        const double gap = layout_.bond_length * 0.18;
        if (bond.stereo == BondStereo::Wedge || bond.stereo == BondStereo::Hash) {
            const Vec half = normal * (layout_.bond_length * 0.1);
            if (bond.stereo == BondStereo::Wedge) {
                begin_bond(bond, " wedge");
                out_.raw("M").number(a.x).raw(" ").number(a.y);
                const Point b1 = b + half, b2 = b + half * -1;
                out_.raw("L").number(b1.x).raw(" ").number(b1.y);
                out_.raw("L")
                    .number(b2.x)
                    .raw(" ")
                    .number(b2.y)
                    .raw("Z\" fill=\"")
                    .raw(kInk)
                    .raw("\" stroke-linejoin=\"round\"/>");
                return;
            }
            begin_bond(bond, " hash");
            const int count = std::clamp(static_cast<int>(full / 3.5), 3, 10);
            for (int k = 0; k < count; ++k) {
                const double t = (k + 0.5) / count;
                const Point p = a + (b - a) * t;
                segment(p + half * t, p + half * -t);
            }
            out_.raw("\"/>");
            return;
        }
        if (bond.stereo == BondStereo::Either) {
            begin_bond(bond, " wavy");
            const int waves = std::clamp(static_cast<int>(full / 4), 2, 12);
            out_.raw("M").number(a.x).raw(" ").number(a.y);
            const Vec step = (b - a) * (1.0 / waves);
            const double amplitude = layout_.bond_length * 0.08;
            for (int k = 0; k < waves; ++k) {
                const Point from = a + step * k;
                const Point control =
                    from + step * 0.5 + normal * (k % 2 == 0 ? amplitude : -amplitude) * 2;
                const Point to = from + step;
                out_.raw("Q").number(control.x).raw(" ").number(control.y).raw(" ");
                out_.number(to.x).raw(" ").number(to.y);
            }
            out_.raw("\"/>");
            return;
        }
        switch (bond.type) {
            case 1:
                begin_bond(bond, "");
                segment(a, b);
                break;
            case 2:
                begin_bond(bond, bond.stereo == BondStereo::CisTransEither ? " crossed" : "");
                if (bond.stereo == BondStereo::CisTransEither) {
                    const Vec h = normal * (gap / 2);
                    segment(a + h, b + h * -1);
                    segment(a + h * -1, b + h);
                } else {
                    double_lines(a, b, normal, gap, ring_centre, bond, false);
                }
                break;
            case 3:
                begin_bond(bond, "");
                segment(a, b);
                segment(a + normal * gap, b + normal * gap);
                segment(a + normal * -gap, b + normal * -gap);
                break;
            case 4:
                begin_bond(bond, " aromatic");
                double_lines(a, b, normal, gap, ring_centre, bond, true);
                break;
            default:
                begin_bond(bond, " query");
                dashes(a, b);
                break;
        }
        out_.raw("\"/>");
    }

    // A double (or aromatic, dashed second line) bond: inside its ring with
    // the second line shortened, centred on the bond otherwise.
    void double_lines(Point a, Point b, Vec normal, double gap,
                      const std::optional<Point>& ring_centre, const Bond& bond, bool dashed) {
        if (!ring_centre && !dashed) {
            const Vec h = normal * (gap / 2);
            segment(a + h, b + h);
            segment(a + h * -1, b + h * -1);
            return;
        }
        Vec side = normal;
        if (ring_centre) {
            const Vec to_centre = *ring_centre - a;
            if (to_centre.x * normal.x + to_centre.y * normal.y < 0) side = normal * -1;
        }
        segment(a, b);
        const Vec along = b - a;
        const double trim_a = labels_[bond.a].shown ? 0 : 0.15;
        const double trim_b = labels_[bond.b].shown ? 0 : 0.15;
        const Point inner_a = a + along * trim_a + side * gap;
        const Point inner_b = a + along * (1 - trim_b) + side * gap;
        if (dashed)
            dashes(inner_a, inner_b);
        else
            segment(inner_a, inner_b);
    }

    // --- atoms ---------------------------------------------------------------

    // Estimated advance of text in em: enough to centre a symbol on its atom.
    static double advance(std::string_view text) {
        double em = 0;
        for (const char c : text) {
            const unsigned char u = static_cast<unsigned char>(c);
            if ((u & 0xC0) == 0x80) continue;  // UTF-8 continuation
            em += (c >= 'A' && c <= 'Z') ? 0.68 : (c == 'i' || c == 'l' || c == 'I') ? 0.28 : 0.56;
        }
        return em;
    }

    static std::string charge_text(int charge) {
        if (charge == 0) return {};
        std::string text;
        const int size = charge < 0 ? -charge : charge;
        if (size > 1) text = std::to_string(size);
        text += charge > 0 ? "+" : "\xE2\x88\x92";  // U+2212 minus sign
        return text;
    }

    // Per atom, the sum of the x parts of the unit vectors along its bonds:
    // above 0.3 the bonds point mostly right, and the hydrogens go left.
    std::vector<double> bond_directions() const {
        std::vector<double> sums(molecule_.atoms.size(), 0.0);
        for (const Bond& bond : molecule_.bonds) {
            const Vec d = layout_.atoms[bond.b] - layout_.atoms[bond.a];
            const double l = length(d);
            if (l < 1e-9) continue;
            sums[bond.a] += d.x / l;
            sums[bond.b] -= d.x / l;
        }
        return sums;
    }

    void draw_atoms() {
        const double font = layout_.font_size;
        out_.raw("<g class=\"atoms\" font-family=\"sans-serif\" font-size=\"")
            .number(font)
            .raw("\">");
        const std::vector<double> directions = bond_directions();
        for (std::size_t i = 0; i < molecule_.atoms.size(); ++i)
            if (labels_[i].shown) draw_label(i, font, directions[i] > 0.3);
        out_.raw("</g>");
    }

    void small(std::string_view text, double font, double shift, double& baseline) {
        // dy is relative: move from the current baseline to the wanted one.
        out_.raw("<tspan font-size=\"")
            .number(font * 0.7)
            .raw("\" dy=\"")
            .number(shift - baseline)
            .raw("\">");
        out_.raw(text).raw("</tspan>");  // digits and signs made here
        baseline = shift;
    }

    // Text at the label's baseline; table text is escaped, ours is not.
    void normal_text(std::string_view text, bool from_table, double& baseline) {
        const bool shifted = baseline != 0;
        if (shifted) out_.raw("<tspan dy=\"").number(-baseline).raw("\">");
        baseline = 0;
        if (from_table)
            out_.text(text);
        else
            out_.raw(text);
        if (shifted) out_.raw("</tspan>");
    }

    void draw_label(std::size_t i, double font, bool bonds_right) {
        const Atom& atom = molecule_.atoms[i];
        const Point p = layout_.atoms[i];
        const std::string_view symbol =
            atom.label.empty() ? std::string_view(atom.symbol) : std::string_view(atom.label);
        const int h = hydrogens_[i];
        const bool left = h > 0 && bonds_right;
        const std::string isotope = atom.isotope ? std::to_string(atom.isotope) : std::string();
        const std::string h_count = h > 1 ? std::to_string(h) : std::string();
        // Everything written before the symbol, in em, to centre the symbol.
        double before = advance(isotope) * 0.7;
        if (left) before += advance("H") + advance(h_count) * 0.7;
        const double x = p.x - (before + advance(symbol) / 2) * font;
        const double sup = -font * 0.4, sub = font * 0.25;
        out_.raw("<text class=\"atom\" data-atom=\"").integer(static_cast<long long>(i) + 1);
        out_.raw("\" x=\"").number(x).raw("\" y=\"").number(p.y + font * 0.35).raw("\" fill=\"");
        out_.raw(label_colour(atom.element)).raw("\">");
        double baseline = 0;
        if (!isotope.empty()) small(isotope, font, sup, baseline);
        if (left) {
            normal_text("H", false, baseline);
            if (!h_count.empty()) small(h_count, font, sub, baseline);
        }
        normal_text(symbol, true, baseline);
        if (h > 0 && !left) {
            normal_text("H", false, baseline);
            if (!h_count.empty()) small(h_count, font, sub, baseline);
        }
        std::string mark = charge_text(atom.charge);
        if (atom.radical == 2)
            mark += "\xE2\x80\xA2";  // U+2022 bullet
        else if (atom.radical == 1 || atom.radical == 3)
            mark += "\xE2\x80\xA2\xE2\x80\xA2";
        if (!mark.empty()) small(mark, font, sup, baseline);
        out_.raw("</text>");
    }

    const Molecule& molecule_;
    const Options& options_;
    SvgText out_;
    Layout layout_;
    std::vector<int> hydrogens_;
    std::vector<int> degree_;
    std::vector<Label> labels_;
    double line_width_ = 1;
};

}  // namespace

std::string depict_svg(std::string_view mdl, TextBytes bytes, const Options& options) {
    const MoleculeReading reading = read_molecule(mdl);
    if (!reading.problem.empty()) return placeholder(reading.problem, bytes, options);
    return Drawing(reading.molecule, bytes, options).draw();
}

}  // namespace molvane::depict
