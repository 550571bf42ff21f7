// The CTable class: the Python object around a ctable::Table.
#pragma once

#include <Python.h>

#include <string_view>

#include "core/ctable/block_lines.hpp"
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

// The CTable type, created once per process (borrowed reference).
PyObject* ctable_type();

// A new CTable object taking over `table`.
Ref new_ctable_object(ctable::Table&& table);

}  // namespace molvane::py
