#include "core/output_buffer.hpp"

#include <algorithm>
#include <cstring>

#include "core/error.hpp"

namespace molvane::core {

OutputBuffer::OutputBuffer(size_t threshold)
    : data_(new char[2 * threshold]), capacity_(2 * threshold), threshold_(threshold) {}

void OutputBuffer::append(std::string_view text) {
    if (text.empty()) return;
    expect(text.size() <= SIZE_MAX - size_, "output buffer size overflow");
    const size_t needed = size_ + text.size();
    if (needed > capacity_) {
        const size_t doubled = capacity_ <= SIZE_MAX / 2 ? 2 * capacity_ : SIZE_MAX;
        const size_t grown = std::max(needed, doubled);
        std::unique_ptr<char[]> larger(new char[grown]);
        if (size_) std::memcpy(larger.get(), data_.get(), size_);
        data_ = std::move(larger);
        capacity_ = grown;
    }
    std::memcpy(data_.get() + size_, text.data(), text.size());
    size_ = needed;
}

}  // namespace molvane::core
