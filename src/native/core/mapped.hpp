// A read-only memory mapping of a whole input file, shared by its reader and
// by every block that borrows its pages (std::shared_ptr keeps the count atomic).
#pragma once

#include <cstddef>

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

}  // namespace molvane::core
