// The CTable class: the Python object around a ctable::Table, and the
// conversion of connection-table errors into Python exceptions.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "core/ctable/block_lines.hpp"
#include "core/ctable/mod.hpp"
#include "python/block_note.hpp"
#include "python/guard.hpp"
#include "python/object.hpp"
#include "python/ref.hpp"

namespace molvane::py {

// The C++ state of a CTable object.
struct CTableObject {
    ctable::Table table;
    UseGuard guard{};
    // The block a table was read from, named in its errors.
    std::optional<BlockLabel> source{};

    void name_block_in_error() const {
        if (source) py::name_block_in_error(*source);
    }
};

// The CTable type, created once per process (borrowed reference).
PyObject* ctable_type();

// A new CTable object taking over `table`, read from the block of `source`.
Ref new_ctable_object(ctable::Table&& table, std::optional<BlockLabel> source = std::nullopt);

// Raises UnicodeDecodeError for a title or CTAB line of a str block, with the
// decode note naming the block.
[[noreturn]] void raise_line_decode_error(const ctable::LineDecodeError& error,
                                          const core::Block& block);

}  // namespace molvane::py
