// `_SDBlockIterator`: the lazy iterator of SDBlocks that every reader returns.
#pragma once

#include <Python.h>

#include "python/guard.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/read.hpp"
#include "python/ref.hpp"

namespace molvane::py {

// The C++ state of a _SDBlockIterator object.
struct BlockIteratorObject {
    Reader reader;
    UseGuard guard{};

    int traverse(visitproc visit, void* arg) const { return reader.traverse(visit, arg); }
};

// The _SDBlockIterator type of `module`, for its execution step.
Ref new_block_iterator_type(PyObject* module);

// A new iterator of the module with a closed reader that makes the module's
// SDBlocks, for the caller to start on a source.
Ref new_block_iterator(const ModuleState& state);

inline Reader& iterator_reader(PyObject* iterator) {
    return state_of<BlockIteratorObject>(iterator).reader;
}

}  // namespace molvane::py
