// Writing blocks out: the functions write_sdf and sdf_writer, and the
// _SDFWriter class that sdf_writer returns.
#pragma once

#include <Python.h>

namespace molvane::py {

// Method definitions of the module functions, which live for the process.
PyMethodDef* write_sdf_definition();
PyMethodDef* sdf_writer_definition();

// The _SDFWriter type, created once per process (borrowed reference).
PyObject* writer_type();

}  // namespace molvane::py
