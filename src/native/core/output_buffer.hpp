// The writers' output buffer: block texts collect here until they reach the
// chunk threshold of their destination and leave as one chunk.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace molvane::core {

// A path gets large chunks, written by one system call loop each; a file
// object gets smaller ones, since each becomes a Python object.
inline constexpr size_t kPathChunkThreshold = 256 * 1024;
inline constexpr size_t kFileObjectChunkThreshold = 64 * 1024;

class OutputBuffer {
  public:
    // Capacity starts at twice the threshold, so that the block which crosses
    // the threshold almost always fits without growing.
    explicit OutputBuffer(size_t threshold);

    // Appends `text`; if it does not fit, capacity becomes the larger of the
    // needed size and twice the old capacity.
    void append(std::string_view text);

    // True once the buffered text should leave as a chunk.
    bool reached_threshold() const noexcept { return size_ >= threshold_; }

    std::string_view view() const noexcept { return {data_.get(), size_}; }
    bool empty() const noexcept { return size_ == 0; }
    void clear() noexcept { size_ = 0; }
    size_t capacity() const noexcept { return capacity_; }
    size_t threshold() const noexcept { return threshold_; }

  private:
    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
    size_t capacity_;
    size_t threshold_;
};

}  // namespace molvane::core
