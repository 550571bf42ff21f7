// A value of the module state filled on first need (a class fetched from
// another module, say) and kept until the module goes. Filling can run Python
// code that lets other threads take the interpreter lock, so a thread that
// finds another thread filling the value waits for it, with the lock
// released so that the filling thread can finish, rather than filling it
// again.
#pragma once

#include <Python.h>

#include <mutex>

#include "python/ref.hpp"
#include "python/without_gil.hpp"

namespace molvane::py {

class LazyRef {
  public:
    // The value (borrowed), made by `make()` if no thread has filled it yet.
    // `make` returns a Ref or throws, which leaves the value empty for the
    // next call to try again. Call with the interpreter lock held.
    template <class Make>
    PyObject* get(Make&& make) {
        if (value_) return value_.get();
        std::unique_lock<std::recursive_mutex> lock(filling_, std::try_to_lock);
        if (!lock.owns_lock()) without_gil([&] { lock.lock(); });
        if (value_) return value_.get();
        Ref made = make();
        // Python code that `make` ran on this thread may have filled the value
        // through a nested call: the value stored first is the only one.
        if (!value_) value_ = std::move(made);
        return value_.get();
    }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(value_.get());
        return 0;
    }
    void clear() noexcept { value_.reset(); }

  private:
    Ref value_;
    // Recursive, so that a nested call on the filling thread cannot deadlock.
    std::recursive_mutex filling_;
};

}  // namespace molvane::py
