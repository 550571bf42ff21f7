// Input files: a read-only memory mapping of a whole file, shared by its
// reader and by every block that borrows its pages (std::shared_ptr keeps the
// count atomic), and the choice between mapping a file and reading it in
// chunks. Nothing here needs the interpreter, so it runs without the GIL.
#pragma once

#include <cstddef>
#include <memory>

namespace molvane::core {

class Mapping {
  public:
    // Adopts a region returned by mmap; the destructor unmaps it.
    Mapping(const char* data, size_t size) noexcept : data_(data), size_(size) {}
    ~Mapping();
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    const char* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }

  private:
    const char* data_;
    size_t size_;
};

// An input path once opened: either mapped (the descriptor is closed
// already) or a descriptor to read in chunks; `error` is the errno of a
// failed open (EINTR included, which the caller retries after running signal
// handlers).
struct OpenedInput {
    int error = 0;
    int fd = -1;
    std::shared_ptr<const Mapping> mapping;
};

// Opens `path` read-only. Non-empty regular files on local file systems are
// mapped; pipes, FIFOs, devices, network and FUSE file systems, and files
// that cannot be mapped are read in chunks.
OpenedInput open_input(const char* path) noexcept;

// Whether a file system type (statfs f_type) is local, so that its files
// can be mapped without stalls or SIGBUS from a vanishing server.
bool is_local_file_system(unsigned long magic) noexcept;

// Reads up to `len` bytes into `buf`: the count read (0 at end of file), or
// -1 with `error` set to errno.
long read_some(int fd, char* buf, size_t len, int& error) noexcept;

void close_file(int fd) noexcept;

}  // namespace molvane::core
