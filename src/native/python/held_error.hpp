// An exception taken out of the interpreter's error indicator, so that
// Python code can run meanwhile, and set again afterwards (or dropped).
#pragma once

#include <Python.h>

#include "python/ref.hpp"

namespace molvane::py {

class HeldError {
  public:
    // Moves the error currently set, if any, into the returned object.
    static HeldError fetch() noexcept {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        return HeldError(type, value, traceback);
    }

    // As fetch(), with the value made an exception instance.
    static HeldError fetch_normalized() noexcept {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        return HeldError(type, value, traceback);
    }

    HeldError() noexcept = default;

    explicit operator bool() const noexcept { return static_cast<bool>(type_); }
    PyObject* value() const noexcept { return value_.get(); }

    // Sets the held error again; with none held, clears the indicator.
    void restore() noexcept {
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    }

    // Sets the held error again and throws PythonError.
    [[noreturn]] void raise_again() {
        restore();
        throw PythonError{};
    }

  private:
    HeldError(PyObject* type, PyObject* value, PyObject* traceback) noexcept
        : type_(Ref::steal(type)), value_(Ref::steal(value)), traceback_(Ref::steal(traceback)) {}

    Ref type_, value_, traceback_;
};

}  // namespace molvane::py
