// A Table through the Arrow C data interface: its schema (a struct of its
// columns), the table as one struct array, and a stream of that one batch
// (or of its parts, one batch each).
// Exported arrays share the table, which lives until the last of them is
// released, so consumers take the buffers without a copy.
#pragma once

#include <memory>

#include "core/arrow_abi.hpp"
#include "core/table_builder.hpp"

namespace molvane::core {

// String columns are large_utf8 ("U") for text tables and large_binary ("Z")
// for bytes tables; Int64 is "l" and Float64 "g". Every column is nullable.
// Each call fills `out`, whose release callback frees what it allocated.
void export_schema(const Table& table, ArrowSchema* out);
// A table without parts, as one batch.
void export_array(std::shared_ptr<const Table> table, ArrowArray* out);
void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out);

}  // namespace molvane::core
