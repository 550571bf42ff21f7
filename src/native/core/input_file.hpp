// A file opened for reading by path, beside OutputFile for writing: a
// non-empty regular file on a local file system is mapped whole and its
// descriptor closed at once; any other file is read in chunks through its
// descriptor. Results are IoOutcome values, so the calls may run without the
// interpreter lock. An interrupted call comes back as Interrupted, not
// retried, so that the caller can run signal handlers before calling again.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "core/io_outcome.hpp"
#include "core/mapped.hpp"

namespace molvane::core {

class InputFile {
  public:
    InputFile() = default;
    ~InputFile() { close(); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens `path` read-only, close-on-exec, and maps it when it can.
    IoOutcome open(const std::string& path) noexcept;

    // The mapping that open() made, handed over once; null for a file read
    // in chunks.
    std::shared_ptr<const Mapping> take_mapping() noexcept { return std::move(mapping_); }

    // Reads up to `len` bytes into `buf`; `got` is the count read, 0 at the
    // end of the file.
    IoOutcome read_some(char* buf, size_t len, size_t& got) noexcept;

    // Closes the descriptor, if open, and drops a mapping not taken.
    void close() noexcept;

  private:
    int fd_ = -1;
    std::shared_ptr<const Mapping> mapping_;
};

}  // namespace molvane::core
