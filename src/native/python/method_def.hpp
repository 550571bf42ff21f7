// Method definitions: the cast that puts a METH_KEYWORDS function in a
// PyMethodDef, and module functions made from a definition.
#pragma once

#include <Python.h>

#include "python/ref.hpp"

namespace molvane::py {

// METH_KEYWORDS functions take a third argument; the method table stores
// them as PyCFunction, through the generic function pointer type.
inline PyCFunction keywords_method(PyCFunctionWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// METH_FASTCALL | METH_KEYWORDS functions: arguments as a vector, keyword
// names as a tuple; no argument tuple or dict is built for the call.
using FastKeywordsFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames);

inline PyCFunction fast_keywords_method(FastKeywordsFunction function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A function object of `module` for `definition`, whose __module__ is the
// module's name and whose `self` is the module, so that the function reaches
// the module's state.
inline Ref module_function(PyObject* module, PyMethodDef& definition) {
    Ref name = Ref::check(PyModule_GetNameObject(module));
    return Ref::check(PyCFunction_NewEx(&definition, module, name.get()));
}

}  // namespace molvane::py
