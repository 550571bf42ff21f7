// The molecule graph a drawing needs, read from a block's connection table
// (V2000 or V3000): atoms with their coordinates and the properties a label
// shows, bonds with their type and stereo mark. Nothing else of the table is
// interpreted, and reading never throws: a table that cannot be drawn comes
// back with the reason, which the drawing shows instead.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace molvane::depict {

struct Atom {
    double x = 0, y = 0, z = 0;
    std::string symbol;  // as written in the table's bytes
    std::string label;   // shown instead of the symbol when set: alias, list, R group
    int element = 0;     // atomic number, 0 for query and pseudo atoms
    int charge = 0;
    int isotope = 0;  // mass number, 0 when not given
    int radical = 0;  // 0 none, 1 singlet, 2 doublet, 3 triplet
    int valence = 0;  // the table's valence field: 0 unset, -1 zero, else the valence
};

enum class BondStereo { None, Wedge, Hash, Either, CisTransEither };

struct Bond {
    std::size_t a = 0;  // positions in Molecule::atoms
    std::size_t b = 0;
    int type = 1;  // 1 single, 2 double, 3 triple, 4 aromatic, 5..8 query types
    BondStereo stereo = BondStereo::None;
};

struct Molecule {
    std::vector<Atom> atoms;
    std::vector<Bond> bonds;
};

struct MoleculeReading {
    Molecule molecule;
    // Why the table cannot be drawn; empty when it can.
    std::string_view problem;
};

inline constexpr std::string_view kNoCtab = "no connection table";
inline constexpr std::string_view kUnreadableCtab = "unreadable connection table";
inline constexpr std::string_view kNoAtoms = "no atoms";
inline constexpr std::string_view kNoCoordinates = "no coordinates";

// Reads the CTAB of a block: its lines after the title through "M  END"
// (the block's mdl), in the block's bytes.
MoleculeReading read_molecule(std::string_view mdl);

}  // namespace molvane::depict
