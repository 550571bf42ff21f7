// `_SDBlockIterator`: the lazy iterator of SDBlocks that every reader returns.
#pragma once

#include <Python.h>

#include "python/guard.hpp"
#include "python/read.hpp"
#include "python/ref.hpp"

namespace molvane::py {

struct BlockIteratorObject {
    PyObject_HEAD Reader reader;
    UseGuard guard;
};

// The _SDBlockIterator type, created once per process (borrowed reference).
PyObject* block_iterator_type();

// A new iterator with a closed reader, for the caller to start on a source.
Ref new_block_iterator();

inline Reader& iterator_reader(PyObject* iterator) {
    return reinterpret_cast<BlockIteratorObject*>(iterator)->reader;
}

}  // namespace molvane::py
