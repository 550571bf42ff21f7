// One table from the tables of consecutive pieces of an input, equal to the
// table that one builder would have built from the whole input.
#pragma once

#include <vector>

#include "core/table_builder.hpp"

namespace molvane::core {

// `parts` were built with `options` plus defer_types, in input order. The
// result holds them as its parts, the batches of one table (see Table), with
// their rows in that order, the record columns in the order first seen over
// all parts (a part without a record gets a null column), and each record
// column typed over all of its values (int64 only when every part allows it,
// string when any part holds text). Up to `threads` threads lay out each
// part's record columns with those types (finish_column); the parts are
// spent.
Table merge_tables(std::vector<Table>& parts, const TableOptions& options, unsigned threads);

}  // namespace molvane::core
