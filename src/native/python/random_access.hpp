// What byte ranges, shards and SDFile share in the glue: the path as the
// file system takes it, and the errors for files that cannot be read at any
// offset.
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
// Raises why a file open_retrying() opened cannot be read at random, if so
// (a pipe, a compressed file, an archive).
void raise_refusal(const core::RandomAccessFile& file, const PathArgument& path);
// Both of the above.
void open_random_access(core::RandomAccessFile& file, const PathArgument& path);

// The errors for a file refused by core::RandomAccessFile or found elsewhere
// to be unfit.
[[noreturn]] void raise_compressed(PyObject* path_object, std::string_view compression);
[[noreturn]] void raise_not_regular(PyObject* path_object);
[[noreturn]] void raise_unmappable(PyObject* path_object);
[[noreturn]] void raise_size_understated(PyObject* path_object);
// OSError(EIO) for a mapped file found shorter than its mapping while read.
[[noreturn]] void raise_file_shrank(PyObject* path_object);

// _source_kind, core's classification of a path, as a function of `module`.
Ref source_kind_function(PyObject* module);

}  // namespace molvane::py
