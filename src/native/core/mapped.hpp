// A read-only memory mapping of a whole input file, shared by its reader and
// by every block that borrows its pages (std::shared_ptr keeps the count
// atomic), and the rule for which files are mapped rather than read in
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

// A mapping of the whole file behind `fd` when it is a non-empty regular
// file on a local file system, or null when it should be read in chunks:
// pipes, FIFOs, devices, network and FUSE file systems, and files that cannot
// be mapped. The descriptor stays open either way.
std::shared_ptr<const Mapping> map_if_local(int fd) noexcept;

// Whether a file system type (statfs f_type) is local, so that its files
// can be mapped without stalls or SIGBUS from a vanishing server.
bool is_local_file_system(unsigned long magic) noexcept;

}  // namespace molvane::core
