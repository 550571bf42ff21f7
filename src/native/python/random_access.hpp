// What byte ranges, shards and SDFile share in the glue: the path as the
// file system takes it, and the opening of a file to read at any offset.
#pragma once

#include <Python.h>

#include <string>

#include "core/random_access_file.hpp"
#include "python/ref.hpp"

namespace molvane::py {

struct PathArgument {
    std::string bytes;  // os.fsencode(os.fsdecode(path))
    Ref object;         // os.fspath(source), for messages and pickles
    bool is_str;        // a str path: str blocks, universal newlines
};

// `source` (str, bytes or os.PathLike) as a path; TypeError otherwise.
PathArgument path_argument(PyObject* source);

// Opens `path` into `file` without the GIL, again when a signal interrupts
// the open (after the signal's handler ran); raises when it cannot be opened.
void open_retrying(core::RandomAccessFile& file, const PathArgument& path);
// open_retrying(), then raises the file's refusal, if any (a pipe, a
// compressed file, an archive): a file that can be read at any offset.
void open_random_access(core::RandomAccessFile& file, const PathArgument& path);

// _source_kind, core's classification of a path, as a function of `module`.
Ref source_kind_function(PyObject* module);

}  // namespace molvane::py
