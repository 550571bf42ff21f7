// The use guard of blocks, tables, iterators and writers: reads share an
// object, edits and iterator steps hold it exclusively, and a conflicting
// call (another thread, or re-entry from Python code) fails instead of waiting.
#pragma once

#include <Python.h>

#include "python/errors.hpp"
#include "python/object.hpp"

namespace molvane::py {

class UseGuard {
  public:
    bool is_free() const noexcept { return state_ == 0; }

  private:
    friend class SharedUse;
    friend class ExclusiveUse;
    // > 0: that many shared users; -1: one exclusive user.
    int state_ = 0;
};

class SharedUse {
  public:
    explicit SharedUse(UseGuard& guard) : guard_(guard) {
        if (guard_.state_ < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++guard_.state_;
    }
    ~SharedUse() { --guard_.state_; }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;

  private:
    UseGuard& guard_;
};

class ExclusiveUse {
  public:
    explicit ExclusiveUse(UseGuard& guard) : guard_(guard) {
        if (guard_.state_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
        guard_.state_ = -1;
    }
    ~ExclusiveUse() { guard_.state_ = 0; }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;

  private:
    UseGuard& guard_;
};

// States that know which block their errors are about (a block, a table
// made from one): they add a note naming it to a record or table error.
template <class State>
concept NamesBlockInErrors = requires(const State& state, PyObject* owner) {
    state.name_block_in_error(owner);
};

template <class State, class Body>
decltype(auto) run_on_state(PyObject* self, State& state, Body& body) {
    if constexpr (NamesBlockInErrors<State>) {
        try {
            return body(state);
        } catch (...) {
            state.name_block_in_error(self);
            throw;
        }
    } else {
        return body(state);
    }
}

// The body of an entry point that reads an object: `body(state)` runs at the
// boundary with the object's state shared.
template <class State, class Body>
auto with_shared(PyObject* self, Body&& body) noexcept {
    return boundary(self, [&] {
        State& state = state_of<State>(self);
        SharedUse use(state.guard);
        return run_on_state(self, state, body);
    });
}

// The body of an entry point that edits an object or steps an iterator:
// `body(state)` runs at the boundary with the object's state held exclusively.
template <class State, class Body>
auto with_exclusive(PyObject* self, Body&& body) noexcept {
    return boundary(self, [&] {
        State& state = state_of<State>(self);
        ExclusiveUse use(state.guard);
        return run_on_state(self, state, body);
    });
}

}  // namespace molvane::py
