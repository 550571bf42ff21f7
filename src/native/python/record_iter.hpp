// The lazy record and name iterators of a block: block.iter_records() gives
// (name, value) tuples and iter(block) gives names, scanning the SD data one
// record per step and stopping once the block's records have been edited.
#pragma once

#include <Python.h>

#include "python/ref.hpp"

namespace molvane::py {

// The iterator types of `module` (_SDRecordIterator, _SDNameIterator), for
// its execution step.
Ref new_record_iterator_type(PyObject* module);
Ref new_name_iterator_type(PyObject* module);

}  // namespace molvane::py
