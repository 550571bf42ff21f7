// The lazy record and name iterators of a block: block.iter_records() gives
// (name, value) tuples and iter(block) gives names, scanning the SD data one
// record per step and stopping once the block's records have been edited.
#pragma once

#include <Python.h>

namespace molvane::py {

// The iterator types, created once per process (borrowed references).
PyObject* record_iterator_type();
PyObject* name_iterator_type();

}  // namespace molvane::py
