// The zstd frame walk on any input: what it concludes must not depend on how
// the bytes are cut into pieces, since a reader hands them over in reads of
// any size. The first byte chooses a piece size; the rest is the data, fed
// whole, in pieces of that size and byte by byte.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/zstd_frames.hpp"

namespace {

molvane::core::ZstdFrameWalk walked_in_pieces(std::string_view data, size_t piece) {
    molvane::core::ZstdFrameWalk walk;
    for (size_t at = 0; at < data.size(); at += piece)
        walk.feed(data.substr(at, piece));
    return walk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size == 0) return 0;
    const size_t piece = bytes[0] % 64 + 1;
    const std::string_view data(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    molvane::core::ZstdFrameWalk whole;
    whole.feed(data);
    for (size_t step : {piece, size_t{1}}) {
        const molvane::core::ZstdFrameWalk walk = walked_in_pieces(data, step);
        if (walk.at_frame_end() != whole.at_frame_end()) std::abort();
        if (walk.malformed() != whole.malformed()) std::abort();
    }
    if (whole.at_frame_end() && whole.malformed()) std::abort();
    return 0;
}
