// molvane.native._ZstdFrames: the frame walk of core/zstd_frames for
// molvane/_compression.py, which follows the compressed bytes of a .zst
// input as its decompressing thread reads them.
#pragma once

#include <Python.h>

#include "python/ref.hpp"

namespace molvane::py {

Ref new_zstd_frames_type(PyObject* module);

}  // namespace molvane::py
