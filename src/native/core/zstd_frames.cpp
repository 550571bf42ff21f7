#include "core/zstd_frames.hpp"

#include <algorithm>
#include <cstring>

namespace molvane::core {

namespace {

constexpr uint32_t kFrameMagic = 0xFD2FB528;
constexpr uint32_t kSkippableMagic = 0x184D2A50;  // the low 4 bits are free
constexpr uint32_t kSkippableMask = 0xFFFFFFF0;

constexpr uint32_t little_endian(const uint8_t* bytes, size_t count) noexcept {
    uint32_t value = 0;
    for (size_t i = count; i-- > 0;)
        value = value << 8 | bytes[i];
    return value;
}

}  // namespace

size_t ZstdFrameWalk::header_size(State state) noexcept {
    switch (state) {
        case State::Magic:
        case State::SkippableSize: return 4;
        case State::Descriptor: return 1;
        case State::BlockHeader: return 3;
        default: return 0;
    }
}

void ZstdFrameWalk::skip_then(uint64_t count, State next) noexcept {
    if (count == 0) {
        state_ = next;
        return;
    }
    skip_ = count;
    after_skip_ = next;
    state_ = State::Skip;
}

void ZstdFrameWalk::take_header() noexcept {
    switch (state_) {
        case State::Magic: {
            const uint32_t magic = little_endian(header_, 4);
            if (magic == kFrameMagic)
                state_ = State::Descriptor;
            else if ((magic & kSkippableMask) == kSkippableMagic)
                state_ = State::SkippableSize;
            else
                state_ = State::Malformed;
            return;
        }
        case State::SkippableSize: skip_then(little_endian(header_, 4), State::Magic); return;
        case State::Descriptor: {
            const uint8_t descriptor = header_[0];
            if (descriptor & 0x08) {  // the reserved bit
                state_ = State::Malformed;
                return;
            }
            const bool single_segment = descriptor & 0x20;
            checksum_ = descriptor & 0x04;
            static constexpr uint8_t kDictionaryIdSize[] = {0, 1, 2, 4};
            static constexpr uint8_t kContentSizeSize[] = {0, 2, 4, 8};
            const size_t content_size_flag = descriptor >> 6;
            const size_t rest =
                (single_segment ? 0 : 1) +  // the window descriptor
                kDictionaryIdSize[descriptor & 0x03] +
                (content_size_flag == 0 && single_segment ? 1
                                                          : kContentSizeSize[content_size_flag]);
            skip_then(rest, State::BlockHeader);
            return;
        }
        case State::BlockHeader: {
            const uint32_t header = little_endian(header_, 3);
            const bool last = header & 1;
            const uint32_t type = header >> 1 & 3;
            const uint32_t size = header >> 3;
            if (type == 3) {  // reserved
                state_ = State::Malformed;
                return;
            }
            const uint64_t content = type == 1 ? 1 : size;  // an RLE block holds one byte
            if (last)
                skip_then(content + (checksum_ ? 4 : 0), State::Magic);
            else
                skip_then(content, State::BlockHeader);
            return;
        }
        default: return;
    }
}

void ZstdFrameWalk::feed(std::string_view data) noexcept {
    size_t at = 0;
    while (at < data.size() && state_ != State::Malformed) {
        if (state_ == State::Skip) {
            const uint64_t step = std::min<uint64_t>(skip_, data.size() - at);
            at += step;
            skip_ -= step;
            if (skip_ == 0) state_ = after_skip_;
            continue;
        }
        const size_t need = header_size(state_);
        const size_t take = std::min(need - held_, data.size() - at);
        std::memcpy(header_ + held_, data.data() + at, take);
        held_ = static_cast<uint8_t>(held_ + take);
        at += take;
        if (held_ == need) {
            held_ = 0;
            take_header();
        }
    }
}

}  // namespace molvane::core
