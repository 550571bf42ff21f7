// `_SDBlockIterator`: the lazy iterator of SDBlocks that every reader returns.
#pragma once

#include <Python.h>

#include "python/guard.hpp"
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

// The _SDBlockIterator type, created once per process (borrowed reference).
PyObject* block_iterator_type();

// A new iterator with a closed reader, for the caller to start on a source.
Ref new_block_iterator();

inline Reader& iterator_reader(PyObject* iterator) {
    return state_of<BlockIteratorObject>(iterator).reader;
}

}  // namespace molvane::py
