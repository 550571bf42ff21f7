// _SDTable, the columns built from SD blocks, handed out through the Arrow
// PyCapsule interface, and _build_table, which builds one.
#pragma once

#include <Python.h>

#include "python/ref.hpp"

namespace molvane::py {

// The _SDTable type of `module`, for its execution step.
Ref new_table_type(PyObject* module);

// The _build_table function of `module`.
Ref build_table_function(PyObject* module);

// The _build_table_from_path function of `module`.
Ref build_table_from_path_function(PyObject* module);

// The _join_kinds function of `module`.
Ref join_kinds_function(PyObject* module);

}  // namespace molvane::py
