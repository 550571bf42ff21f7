// Process-wide values (type objects, exception classes, interned names): each
// cell is filled at most once, on first need, and kept until the process
// ends. Filling can run Python code that lets other threads take the
// interpreter lock (creating a type may collect garbage), so a thread that
// finds another thread filling a cell waits for it, with the lock released
// so that the filling thread can finish, rather than filling it again.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

#include "python/without_gil.hpp"

namespace molvane::py {

// Holds a Value* (a PyObject, or a struct of them) once filled.
template <class Value>
class ProcessCell {
  public:
    // The cell's value, made by `make()` if no thread has filled the cell yet.
    // `make` returns an owning handle (Ref, std::unique_ptr) or throws, which
    // leaves the cell empty for the next call to try again.
    template <class Make>
    Value* get(Make&& make) {
        if (Value* value = value_.load(std::memory_order_acquire)) return value;
        std::unique_lock<std::recursive_mutex> lock(filling_, std::try_to_lock);
        if (!lock.owns_lock()) without_gil([&] { lock.lock(); });
        if (Value* value = value_.load(std::memory_order_acquire)) return value;
        auto made = make();
        // Python code that `make` ran on this thread may have filled the cell
        // through a nested call: the value stored first is the only one.
        if (Value* value = value_.load(std::memory_order_acquire)) return value;
        Value* value = made.release();
        value_.store(value, std::memory_order_release);
        return value;
    }

  private:
    std::atomic<Value*> value_{nullptr};
    // Recursive, so that a nested call on the filling thread cannot deadlock.
    std::recursive_mutex filling_;
};

}  // namespace molvane::py
