// The CTable class: the Python object around a ctable::Table.
#pragma once

#include <Python.h>

#include "core/ctable/table.hpp"
#include "python/guard.hpp"
#include "python/object.hpp"
#include "python/ref.hpp"

namespace molvane::py {

// The C++ state of a CTable object.
struct CTableObject {
    ctable::Table table;
    UseGuard guard{};
};

// The CTable type of `module`, for its execution step.
Ref new_ctable_type(PyObject* module);

// A new object of `ctable_type` (CTable) taking over `table`.
Ref new_ctable_object(PyObject* ctable_type, ctable::Table&& table);

}  // namespace molvane::py
