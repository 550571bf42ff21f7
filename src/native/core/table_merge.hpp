// One table from the tables of consecutive pieces of an input, equal to the
// table that one builder would have built from the whole input.
#pragma once

#include <vector>

#include "core/table_builder.hpp"

namespace molvane::core {

// `parts` were built with `options` plus defer_types, in input order. The
// result has their rows in that order, the record columns in the order first
// seen over all parts, and each record column typed over all of its values
// (int64 only when every part allows it, string when any part holds text).
// The parts are spent along the way, each column freed once copied; up to
// `threads` threads convert the parts' values.
Table merge_tables(std::vector<Table>& parts, const TableOptions& options, unsigned threads);

}  // namespace molvane::core
