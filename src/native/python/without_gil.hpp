// Running byte-level work with the interpreter lock released, so that other
// Python threads run meanwhile.
#pragma once

#include <Python.h>

namespace molvane::py {

// Runs `work`, which must not touch Python objects, without the interpreter
// lock and returns its result. The lock is taken back before anything `work`
// threw propagates.
template <class Work>
decltype(auto) without_gil(Work&& work) {
    struct Reacquire {
        PyThreadState* state;
        ~Reacquire() { PyEval_RestoreThread(state); }
    } reacquire{PyEval_SaveThread()};
    return work();
}

}  // namespace molvane::py
