// The CTable class: the Python object around a ctable::Table.
#pragma once

#include <Python.h>

#include <optional>

#include "core/ctable/table.hpp"
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

    void name_block_in_error(PyObject* owner) const {
        if (source) py::name_block_in_error(owner, *source);
    }
};

// The CTable type of `module`, for its execution step.
Ref new_ctable_type(PyObject* module);

// A new object of `ctable_type` (CTable) taking over `table`, read from the
// block of `source`.
Ref new_ctable_object(PyObject* ctable_type, ctable::Table&& table,
                      std::optional<BlockLabel> source = std::nullopt);

}  // namespace molvane::py
