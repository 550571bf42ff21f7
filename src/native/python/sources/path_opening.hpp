// The steps of opening a path for parse_sdf: open it and tell what it holds,
// map it, restrict a mapped file to a byte range, and hand a compressed file
// to a decompressor. The reader chooses among them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/input_file.hpp"
#include "core/mapped_reader.hpp"
#include "python/ref.hpp"
#include "python/sources/chunk_source.hpp"

namespace molvane::py {

// A path to read, as parse_sdf was given it.
struct PathRequest {
    std::string bytes;  // as the file system takes it
    Ref object;         // what os.fspath() returned, for errors
    bool borrow = false;
    // A byte range: only the blocks whose first byte lies in [start, stop).
    bool ranged = false;
    uint64_t start = 0;
    uint64_t stop = UINT64_MAX;
};

// Opens the path (core finds whether it is mapped, compressed or an archive).
std::unique_ptr<core::InputFile> open_path_file(const PathRequest& path);
// Refuses an archive or a format that is not read.
void refuse_unread_format(const core::InputFile& file, PyObject* path);
// Refuses, for a byte range, a file that cannot be read from any offset.
void check_random_access(const core::InputFile& file, PyObject* path);
// The reader of the file's mapping, or null for a file read in chunks.
std::unique_ptr<core::MappedReader> map_path_file(core::InputFile& file, const PathRequest& path,
                                                  bool text);
// Has a mapped file's reader start at the first block of the path's range.
void restrict_to_range(core::MappedReader& mapped, const PathRequest& path);
// The source decompressing a compressed file, which takes its descriptor.
std::unique_ptr<ChunkSource> decompressing_file(core::InputFile& file, PyObject* path);

}  // namespace molvane::py
