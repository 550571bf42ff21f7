// The one owner of Python references in this module: every new reference is
// held by a Ref and released by its destructor.
#pragma once

#include <Python.h>

#include <utility>

namespace molvane::py {

// Thrown when a Python API call failed and left its exception set; the
// boundary lets that exception propagate to the interpreter unchanged.
struct PythonError {};

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    // Takes over a new reference from an API call; null means the call failed.
    static Ref check(PyObject* ptr) {
        if (!ptr) throw PythonError{};
        return Ref(ptr);
    }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace molvane::py
