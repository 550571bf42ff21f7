// `SDFile`: random access to the blocks of one SD file through its block
// index, and `shards`, which cuts a file into runs of blocks.
#pragma once

#include <Python.h>

#include "python/ref.hpp"

namespace molvane::py {

// The SDFile type of `module`, for its execution step.
Ref new_sd_file_type(PyObject* module);

// shards as a function object of `module`.
Ref shards_function(PyObject* module);
// _next_block_start, core's block bounds for a window of a remote file.
Ref next_block_start_function(PyObject* module);

}  // namespace molvane::py
