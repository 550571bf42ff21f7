// Parsing the arguments of a function or method that takes keywords.
#pragma once

#include <Python.h>

#include "python/ref.hpp"

namespace molvane::py {

// Parses positional and keyword arguments by `format` into `targets`, as
// PyArg_ParseTupleAndKeywords does; `keywords` ends with a null. Throws
// PythonError with the interpreter's TypeError set when they do not match.
template <class... Targets>
void parse_arguments(PyObject* args, PyObject* kwargs, const char* format,
                     const char* const* keywords, Targets*... targets) {
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                     targets...))
        throw PythonError{};
}

}  // namespace molvane::py
