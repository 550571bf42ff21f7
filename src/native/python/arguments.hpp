// Parsing the arguments of a function or method that takes keywords.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

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

// Parses a METH_FASTCALL | METH_KEYWORDS call of `function` taking the
// parameters `names` (all positional-or-keyword), of which the first
// `required` must be given, into `values` (left untouched where not given).
// Raises the interpreter's usual TypeErrors.
void parse_fast_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, std::span<const char* const> names, size_t required,
                          std::span<PyObject*> values);

// A byte offset given to `function` as `name`: an int (any object with
// __index__) that is not negative; an offset past any file (beyond 2**64 - 1)
// stands for UINT64_MAX. Raises TypeError or ValueError naming both.
uint64_t byte_offset_argument(const char* function, const char* name, PyObject* value);

}  // namespace molvane::py
