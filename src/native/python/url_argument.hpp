// Whether a path argument is a URL, which molvane._remote reads through
// fsspec: the one test parse_sdf, SDFile, shards and _is_url share.
#pragma once

#include <Python.h>

namespace molvane::py {

// A str or bytes `source` that core/url takes for a URL. A str without a
// UTF-8 form (an undecodable name from os.fsdecode) is a local path.
bool is_url_argument(PyObject* source);

}  // namespace molvane::py
