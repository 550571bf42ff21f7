// What a linter needs to know of a block's connection table: whether an
// "M  END" line closes it, its header as the table code reads it, and for
// V2000 how many atom and bond lines it really holds.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/block.hpp"
#include "core/ctable/table.hpp"

namespace molvane::ctable {

struct Layout {
    // Nothing but whitespace before the terminator line.
    bool blank = false;
    bool has_end = false;
    // The header, read as block_header reads it; empty where it cannot be read.
    std::optional<Header> header;
    // Why the header cannot be read: too few lines, or the table code's message.
    bool header_too_short = false;
    std::string header_problem;
    // V2000 only: the atom lines (three coordinates in the fixed columns),
    // then every other line up to the properties block or "M  END".
    std::size_t atom_lines = 0;
    std::size_t bond_lines = 0;
};

Layout read_layout(core::Block& block);

// Whether a V2000 table line holds x, y and z as numbers in their fixed
// ten-character columns and is long enough to hold an element symbol.
bool is_v2000_atom_line(std::string_view line);

}  // namespace molvane::ctable
