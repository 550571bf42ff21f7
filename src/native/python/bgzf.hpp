// Private helpers of molvane/_gzaccess.py: BGZF member headers and block
// starts in decompressed text.
#pragma once

#include <Python.h>

namespace molvane::py {

// Sets _bgzf_members, _block_starts and _block_start_from on `module`.
void add_bgzf_functions(PyObject* module);

}  // namespace molvane::py
