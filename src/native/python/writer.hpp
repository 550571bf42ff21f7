// Writing blocks out: the functions write_sdf and sdf_writer, and the
// _SDFWriter class that sdf_writer returns.
#pragma once

#include <Python.h>

#include "python/ref.hpp"

namespace molvane::py {

// The module functions write_sdf and sdf_writer, for the module's execution step.
Ref write_sdf_function(PyObject* module);
Ref sdf_writer_function(PyObject* module);

// The _SDFWriter type of `module`, for its execution step.
Ref new_writer_type(PyObject* module);

}  // namespace molvane::py
