#include "core/depict/molecule.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <unordered_map>

#include "core/ctable/block_lines.hpp"
#include "core/ctable/table.hpp"
#include "core/depict/elements.hpp"

namespace molvane::depict {
namespace {

constexpr std::size_t kCountsLine = 2;  // mdl lines: program, comment, counts

std::string_view trim(std::string_view text) noexcept {
    const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

// Fixed columns [begin, begin + width) of a line, trimmed; empty past its end.
std::string_view column(std::string_view line, std::size_t begin, std::size_t width) noexcept {
    if (begin >= line.size()) return {};
    return trim(line.substr(begin, width));
}

int to_int(std::string_view text, int fallback = 0) noexcept {
    text = trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return fallback;
    return value;
}

double to_double(std::string_view text) noexcept {
    text = trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    // Coordinates that are not finite numbers are drawn at the origin.
    if (error != std::errc() || !(value > -1e9 && value < 1e9)) return 0;
    return value;
}

// Whitespace-separated fields of text.
std::vector<std::string_view> fields(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r'))
            ++pos;
        const std::size_t start = pos;
        while (pos < text.size() && text[pos] != ' ' && text[pos] != '\t' && text[pos] != '\r')
            ++pos;
        if (pos > start) out.push_back(text.substr(start, pos - start));
    }
    return out;
}

bool starts_with(std::string_view line, std::string_view prefix) noexcept {
    return line.substr(0, prefix.size()) == prefix;
}

void set_symbol(Atom& atom, std::string_view symbol) {
    atom.symbol.assign(symbol);
    atom.element = atomic_number(symbol);
}

BondStereo v2000_bond_stereo(int type, int stereo) noexcept {
    if (type == 1) {
        if (stereo == 1) return BondStereo::Wedge;
        if (stereo == 6) return BondStereo::Hash;
        if (stereo == 4) return BondStereo::Either;
    } else if (type == 2 && stereo == 3) {
        return BondStereo::CisTransEither;
    }
    return BondStereo::None;
}

// "M  XXXnn8 aaa vvv ...": the (atom, value) pairs of a property line.
template <class Apply>
void for_each_pair(std::string_view line, std::size_t atom_count, Apply apply) {
    const std::vector<std::string_view> items =
        fields(line.substr(std::min<std::size_t>(6, line.size())));
    if (items.empty()) return;
    const std::size_t pairs = static_cast<std::size_t>(std::max(0, to_int(items[0])));
    for (std::size_t i = 0; i < pairs && 2 + 2 * i < items.size(); ++i) {
        const int atom = to_int(items[1 + 2 * i]);
        if (atom < 1 || static_cast<std::size_t>(atom) > atom_count) continue;
        apply(static_cast<std::size_t>(atom) - 1, items[2 + 2 * i]);
    }
}

// "R" and the group number, as R group atoms are labelled.
std::string r_group_label(std::string_view number) {
    std::string label(1, 'R');
    label.append(number);
    return label;
}

// Atom list text: "[C,N,O]", or "![C,N,O]" when the list excludes.
std::string list_label(bool exclude, const std::vector<std::string_view>& symbols) {
    std::string label = exclude ? "![" : "[";
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (i) label += ',';
        label.append(symbols[i]);
    }
    label += ']';
    return label;
}

MoleculeReading read_v2000(const std::vector<std::string_view>& lines, std::int64_t num_atoms,
                           std::int64_t num_bonds) {
    MoleculeReading reading;
    Molecule& molecule = reading.molecule;
    std::size_t line = kCountsLine + 1;
    const std::size_t atom_count = static_cast<std::size_t>(std::max<std::int64_t>(num_atoms, 0));
    const std::size_t bond_count = static_cast<std::size_t>(std::max<std::int64_t>(num_bonds, 0));
    if (lines.size() < line + atom_count) return {{}, kUnreadableCtab};
    molecule.atoms.resize(atom_count);
    for (Atom& atom : molecule.atoms) {
        const std::string_view text = lines[line++];
        atom.x = to_double(column(text, 0, 10));
        atom.y = to_double(column(text, 10, 10));
        atom.z = to_double(column(text, 20, 10));
        set_symbol(atom, column(text, 31, 3));
        switch (to_int(column(text, 36, 3))) {
            case 1: atom.charge = 3; break;
            case 2: atom.charge = 2; break;
            case 3: atom.charge = 1; break;
            case 4: atom.radical = 2; break;
            case 5: atom.charge = -1; break;
            case 6: atom.charge = -2; break;
            case 7: atom.charge = -3; break;
            default: break;
        }
        const int valence = to_int(column(text, 48, 3));
        atom.valence = valence == 15 ? -1 : (valence > 0 && valence < 15 ? valence : 0);
    }
    if (lines.size() < line + bond_count) return {{}, kUnreadableCtab};
    molecule.bonds.reserve(bond_count);
    for (std::size_t i = 0; i < bond_count; ++i) {
        const std::string_view text = lines[line++];
        const int a = to_int(column(text, 0, 3));
        const int b = to_int(column(text, 3, 3));
        if (a < 1 || b < 1 || a == b || static_cast<std::size_t>(a) > atom_count ||
            static_cast<std::size_t>(b) > atom_count)
            continue;
        Bond bond;
        bond.a = static_cast<std::size_t>(a) - 1;
        bond.b = static_cast<std::size_t>(b) - 1;
        bond.type = to_int(column(text, 6, 3), 1);
        bond.stereo = v2000_bond_stereo(bond.type, to_int(column(text, 9, 3)));
        molecule.bonds.push_back(bond);
    }
    // Properties: the first CHG or RAD line supersedes the charges and
    // radicals of the whole atom block, as the format defines.
    bool charges_reset = false;
    const auto reset_charges = [&] {
        if (charges_reset) return;
        charges_reset = true;
        for (Atom& atom : molecule.atoms)
            atom.charge = atom.radical = 0;
    };
    for (; line < lines.size(); ++line) {
        const std::string_view text = lines[line];
        if (starts_with(text, "M  END")) break;
        if (starts_with(text, "M  CHG")) {
            reset_charges();
            for_each_pair(text, atom_count, [&](std::size_t atom, std::string_view value) {
                molecule.atoms[atom].charge = to_int(value);
            });
        } else if (starts_with(text, "M  RAD")) {
            reset_charges();
            for_each_pair(text, atom_count, [&](std::size_t atom, std::string_view value) {
                molecule.atoms[atom].radical = std::clamp(to_int(value), 0, 3);
            });
        } else if (starts_with(text, "M  ISO")) {
            for_each_pair(text, atom_count, [&](std::size_t atom, std::string_view value) {
                molecule.atoms[atom].isotope = std::max(0, to_int(value));
            });
        } else if (starts_with(text, "M  RGP")) {
            for_each_pair(text, atom_count, [&](std::size_t atom, std::string_view value) {
                molecule.atoms[atom].label = r_group_label(value);
            });
        } else if (starts_with(text, "M  ALS")) {
            // "M  ALS aaannn e 11112222...": atom, count, exclusion flag, symbols.
            const std::vector<std::string_view> items = fields(text.substr(6));
            if (items.size() < 3) continue;
            const int atom = to_int(items[0]);
            if (atom < 1 || static_cast<std::size_t>(atom) > atom_count) continue;
            std::vector<std::string_view> symbols(items.begin() + 3, items.end());
            molecule.atoms[static_cast<std::size_t>(atom) - 1].label =
                list_label(items[2] == "T", symbols);
        } else if (starts_with(text, "A  ") && line + 1 < lines.size()) {
            const int atom = to_int(text.substr(3));
            ++line;
            if (atom < 1 || static_cast<std::size_t>(atom) > atom_count) continue;
            const std::string_view alias = trim(lines[line]);
            if (!alias.empty()) molecule.atoms[static_cast<std::size_t>(atom) - 1].label = alias;
        }
    }
    return reading;
}

// --- V3000 ------------------------------------------------------------------

// The logical lines of the root CTAB: "M  V30 " removed, "-" continuations joined.
std::vector<std::string> v30_lines(const std::vector<std::string_view>& lines) {
    std::vector<std::string> out;
    bool continuing = false;
    for (std::size_t i = kCountsLine + 1; i < lines.size(); ++i) {
        std::string_view text = lines[i];
        if (starts_with(text, "M  END")) break;
        if (!starts_with(text, "M  V30")) continue;
        text = text.substr(6);
        while (!text.empty() && (text.back() == '\r' || text.back() == ' '))
            text.remove_suffix(1);
        const bool continued = !text.empty() && text.back() == '-';
        if (continued) text.remove_suffix(1);
        if (continuing)
            out.back().append(text);
        else
            out.emplace_back(trim(text));
        continuing = continued;
    }
    return out;
}

// Fields of a V3000 line; brackets, parentheses and double quotes group.
std::vector<std::string_view> v30_fields(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
            ++pos;
        const std::size_t start = pos;
        int depth = 0;
        bool quoted = false;
        while (pos < text.size()) {
            const char c = text[pos];
            if (c == '"')
                quoted = !quoted;
            else if (!quoted && (c == '[' || c == '('))
                ++depth;
            else if (!quoted && (c == ']' || c == ')') && depth > 0)
                --depth;
            else if (!quoted && depth == 0 && (c == ' ' || c == '\t'))
                break;
            ++pos;
        }
        if (pos > start) out.push_back(text.substr(start, pos - start));
    }
    return out;
}

bool keyword(std::string_view text, std::string_view word) noexcept {
    if (text.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != word[i]) return false;
    }
    return true;
}

// The value of "NAME=value" when item is one.
bool option(std::string_view item, std::string_view name, std::string_view& value) {
    if (item.size() <= name.size() || item[name.size()] != '=' || !keyword(item, name))
        return false;
    value = item.substr(name.size() + 1);
    return true;
}

MoleculeReading read_v3000(const std::vector<std::string_view>& lines) {
    MoleculeReading reading;
    Molecule& molecule = reading.molecule;
    const std::vector<std::string> logical = v30_lines(lines);
    std::unordered_map<std::int64_t, std::size_t> atom_at;
    enum class In { Other, Atoms, Bonds } section = In::Other;
    int depth = 0;  // nested CTABs (RGROUP, TEMPLATE) are not the molecule
    bool seen_atoms = false;
    for (const std::string& text : logical) {
        const std::string_view line = text;
        if (keyword(line, "BEGIN CTAB")) {
            ++depth;
            continue;
        }
        if (keyword(line, "END CTAB")) {
            --depth;
            continue;
        }
        if (depth != 1) continue;
        if (keyword(line, "BEGIN ATOM")) {
            section = seen_atoms ? In::Other : In::Atoms;
            seen_atoms = true;
            continue;
        }
        if (keyword(line, "BEGIN BOND")) {
            section = In::Bonds;
            continue;
        }
        if (keyword(line, "END")) {
            section = In::Other;
            continue;
        }
        const std::vector<std::string_view> items = v30_fields(line);
        if (section == In::Atoms && items.size() >= 5) {
            Atom atom;
            std::string_view type = items[1];
            if (type.size() >= 2 && type.front() == '"' && type.back() == '"')
                type = type.substr(1, type.size() - 2);
            set_symbol(atom, type);
            atom.x = to_double(items[2]);
            atom.y = to_double(items[3]);
            atom.z = items.size() > 4 ? to_double(items[4]) : 0.0;
            for (std::size_t i = 6; i < items.size(); ++i) {
                std::string_view value;
                if (option(items[i], "CHG", value))
                    atom.charge = to_int(value);
                else if (option(items[i], "RAD", value))
                    atom.radical = std::clamp(to_int(value), 0, 3);
                else if (option(items[i], "MASS", value))
                    atom.isotope = std::max(0, to_int(value));
                else if (option(items[i], "VAL", value)) {
                    const int valence = to_int(value);
                    atom.valence = valence == -1 ? -1 : (valence > 0 && valence < 15 ? valence : 0);
                } else if (option(items[i], "RGROUPS", value)) {
                    // "(1 2)": the first group names the label.
                    const std::vector<std::string_view> groups =
                        fields(value.substr(1, value.size() >= 2 ? value.size() - 2 : 0));
                    if (groups.size() >= 2) atom.label = r_group_label(groups[1]);
                }
            }
            // A repeated index names its first atom, as readers of the format do.
            atom_at.emplace(to_int(items[0], -1), molecule.atoms.size());
            molecule.atoms.push_back(std::move(atom));
        } else if (section == In::Bonds && items.size() >= 4) {
            const auto a = atom_at.find(to_int(items[2], -1));
            const auto b = atom_at.find(to_int(items[3], -1));
            if (a == atom_at.end() || b == atom_at.end() || a->second == b->second) continue;
            Bond bond;
            bond.a = a->second;
            bond.b = b->second;
            bond.type = to_int(items[1], 1);
            for (std::size_t i = 4; i < items.size(); ++i) {
                std::string_view value;
                if (!option(items[i], "CFG", value)) continue;
                const int cfg = to_int(value);
                if (bond.type == 1)
                    bond.stereo = cfg == 1   ? BondStereo::Wedge
                                  : cfg == 3 ? BondStereo::Hash
                                  : cfg == 2 ? BondStereo::Either
                                             : BondStereo::None;
                else if (bond.type == 2 && cfg == 2)
                    bond.stereo = BondStereo::CisTransEither;
            }
            molecule.bonds.push_back(bond);
        }
    }
    return reading;
}

}  // namespace

MoleculeReading read_molecule(std::string_view mdl) {
    const std::vector<std::string_view> lines = ctable::split_ctab_lines(mdl);
    if (lines.size() <= kCountsLine) return {{}, kNoCtab};
    ctable::Header header{};
    try {
        header = ctable::read_ctab_header(mdl);
    } catch (const ctable::TableError&) {
        return {{}, kUnreadableCtab};
    }
    MoleculeReading reading = header.format == ctable::Format::V2000
                                  ? read_v2000(lines, header.num_atoms, header.num_bonds)
                                  : read_v3000(lines);
    if (!reading.problem.empty()) return reading;
    const std::vector<Atom>& atoms = reading.molecule.atoms;
    if (atoms.empty()) {
        reading.problem = kNoAtoms;
    } else if (atoms.size() > 1 && std::all_of(atoms.begin(), atoms.end(), [](const Atom& atom) {
                   return atom.x == 0 && atom.y == 0;
               })) {
        // Several atoms all at the origin (of the drawing plane): the table
        // has no coordinates to draw from.
        reading.problem = kNoCoordinates;
    }
    return reading;
}

}  // namespace molvane::depict
