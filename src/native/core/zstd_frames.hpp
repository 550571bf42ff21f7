// The frame structure of zstd data, followed without decompressing it:
// frame headers, block headers, block contents, checksums and skippable
// frames. zstandard's streaming reader ends quietly where its input ends,
// even inside a frame; following the frames as the compressed bytes go by
// tells data cut short (it ends inside a frame) from a whole stream (it ends
// where a frame ends).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace molvane::core {

class ZstdFrameWalk {
  public:
    // Follows the next bytes of the data.
    void feed(std::string_view data) noexcept;
    // Whether the bytes so far end where a frame ends, or hold no frame.
    bool at_frame_end() const noexcept { return state_ == State::Magic && held_ == 0; }
    // Whether the bytes stopped being zstd frames (the decompressor says why).
    bool malformed() const noexcept { return state_ == State::Malformed; }

  private:
    enum class State : uint8_t {
        Magic,          // a frame's 4 magic bytes
        Descriptor,     // a zstd frame's header descriptor byte
        SkippableSize,  // a skippable frame's 4-byte size
        BlockHeader,    // a block's 3-byte header
        Skip,           // bytes passed over, then `after_skip_`
        Malformed,
    };

    static size_t header_size(State state) noexcept;
    void take_header() noexcept;
    void skip_then(uint64_t count, State next) noexcept;

    State state_ = State::Magic;
    State after_skip_ = State::Magic;
    bool checksum_ = false;  // the current frame ends in a 4-byte checksum
    uint8_t held_ = 0;       // bytes of the current header gathered so far
    uint8_t header_[4] = {};
    uint64_t skip_ = 0;
};

}  // namespace molvane::core
