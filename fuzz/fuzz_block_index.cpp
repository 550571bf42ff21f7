// The block index, shards and saved indexes on any input: the index's offsets
// must be the batch splitter's block starts by either rule, ending where a
// last piece of only whitespace starts (as the backward scan of
// blank_tail_start finds it), every shard bound a block start, and decoding
// any bytes as a saved index must either refuse them or give offsets that
// fit, and round-trip.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/block_index.hpp"
#include "core/index_file.hpp"
#include "core/input_ending.hpp"
#include "core/split.hpp"

namespace {

std::vector<uint64_t> splitter_starts(const std::string& data, bool universal) {
    std::vector<uint64_t> starts;
    molvane::core::BatchSplitter batches(data.data(), data.size(), universal, false, false);
    molvane::core::BlockSpan last{};
    while (!batches.exhausted()) {
        if (!batches.has_ready()) batches.split_batch();
        last = batches.pop();
        starts.push_back(last.begin);
    }
    // The whitespace after the last `$$$$` line is no block.
    const std::string_view piece(data.data() + last.begin, last.end - last.begin);
    if (!starts.empty() && last.dollar == molvane::core::npos &&
        molvane::core::is_blank_tail(piece)) {
        starts.pop_back();
        starts.push_back(last.begin);
    } else {
        starts.push_back(data.size());
    }
    return starts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1) return 0;
    const std::size_t pieces = bytes[0] % 9 + 1;
    const std::string data(reinterpret_cast<const char*>(bytes) + 1, size - 1);

    for (bool universal : {false, true}) {
        std::vector<uint64_t> offsets;
        if (!molvane::core::index_blocks(data.data(), data.size(), universal, offsets))
            std::abort();
        const std::vector<uint64_t> expected = splitter_starts(data, universal);
        if (offsets != expected) std::abort();
        if (molvane::core::blank_tail_start(data.data(), data.size(), universal) != expected.back())
            std::abort();

        std::vector<uint64_t> bounds;
        if (!molvane::core::cut_shards(data.data(), data.size(), pieces, universal, bounds))
            std::abort();
        if ((expected.back() == 0) != bounds.empty() || bounds.size() > pieces + 1) std::abort();
        for (std::size_t k = 0; k < bounds.size(); ++k) {
            const bool last = k + 1 == bounds.size();
            // Every bound but the last (the index's end) is a block start.
            if (!last && !std::binary_search(offsets.begin(), offsets.end(), bounds[k]))
                std::abort();
            if (k > 0 && bounds[k - 1] >= bounds[k]) std::abort();
        }
        if (!bounds.empty() && bounds.back() != expected.back()) std::abort();

        molvane::core::SavedIndex saved{universal, {data.size(), 7}, offsets};
        molvane::core::SavedIndex back;
        if (!molvane::core::decode_index(molvane::core::encode_index(saved), back).ok() ||
            back.offsets != offsets || back.universal != universal || !(back.stamp == saved.stamp))
            std::abort();
    }

    molvane::core::SavedIndex decoded;
    if (molvane::core::decode_index(data, decoded).ok()) {
        if (!molvane::core::offsets_fit(decoded.offsets, decoded.stamp.size)) std::abort();
        if (molvane::core::encode_index(decoded) != data) std::abort();
    }
    return 0;
}
