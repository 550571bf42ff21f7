// Writing blocks out: the functions write_sdf and sdf_writer, and the
// _SDFWriter class that sdf_writer returns.
#pragma once

#include <Python.h>

#include "python/ref.hpp"

namespace molvane::py {

// The module functions write_sdf and sdf_writer, for the module's execution step.
Ref write_sdf_function(PyObject* module);
Ref sdf_writer_function(PyObject* module);

// The _SDFWriter type, created once per process (borrowed reference).
PyObject* writer_type();

}  // namespace molvane::py
