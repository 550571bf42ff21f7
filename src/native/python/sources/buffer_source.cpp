#include "python/sources/buffer_source.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "python/held_error.hpp"
#include "python/text_arguments.hpp"

namespace molvane::py {

BufferSource::BufferSource(Ref text)
    : text_(std::move(text)), size_(str_or_bytes_view(text_.get()).size()) {}

std::unique_ptr<ChunkSource> BufferSource::refill(ChunkInput& input) {
    std::string_view content = str_or_bytes_view(text_.get());
    check_invariant(position_ <= content.size(), "buffer position beyond its content");
    const std::size_t window = std::min(core::kReadUnit, content.size() - position_);
    const char* start = content.data() + position_;
    if (window == 0) {
        // Empty content: nothing to append.
    } else if (input.kind == core::TextKind::Text) {
        char* space = input.splitter.append_space(window);
        std::memcpy(space, start, window);
        input.commit_read(space, window, false);
        input.offsets_exact = false;  // a str is counted in characters, not bytes
    } else {
        input.splitter.append(start, window);
    }
    position_ += window;
    if (position_ == content.size()) input.splitter.finish_input();
    return nullptr;
}

void BufferSource::close() noexcept {
    if (!text_) return;
    HeldError pending = HeldError::fetch();
    text_.reset();
    pending.restore();
}

}  // namespace molvane::py
