// The block index, shards and saved indexes on any input: the index's offsets
// must be the batch splitter's block starts by either rule, every shard bound
// a block start, and decoding any bytes as a saved index must either refuse
// them or give offsets that fit, and round-trip.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/block_index.hpp"
#include "core/index_file.hpp"
#include "core/split.hpp"

namespace {

std::vector<uint64_t> splitter_starts(const std::string& data, bool universal) {
    std::vector<uint64_t> starts;
    molvane::core::BatchSplitter batches(data.data(), data.size(), universal, false, false);
    while (!batches.exhausted()) {
        if (!batches.has_ready()) batches.split_batch();
        starts.push_back(batches.pop().begin);
    }
    starts.push_back(data.size());
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

        std::vector<uint64_t> bounds;
        if (!molvane::core::cut_shards(data.data(), data.size(), pieces, universal, bounds))
            std::abort();
        if (data.empty() != bounds.empty() || bounds.size() > pieces + 1) std::abort();
        for (std::size_t k = 0; k < bounds.size(); ++k) {
            const bool last = k + 1 == bounds.size();
            // Every bound but the last (the size) is a block start.
            if (!last && !std::binary_search(offsets.begin(), offsets.end(), bounds[k]))
                std::abort();
            if (k > 0 && bounds[k - 1] >= bounds[k]) std::abort();
        }
        if (!bounds.empty() && bounds.back() != data.size()) std::abort();

        molvane::core::SavedIndex saved{universal, {data.size(), 7}, offsets};
        molvane::core::SavedIndex back;
        if (molvane::core::decode_index(molvane::core::encode_index(saved), back) !=
                molvane::core::IndexFault::None ||
            back.offsets != offsets || back.universal != universal || !(back.stamp == saved.stamp))
            std::abort();
    }

    molvane::core::SavedIndex decoded;
    if (molvane::core::decode_index(data, decoded) == molvane::core::IndexFault::None) {
        if (!molvane::core::offsets_fit(decoded.offsets, decoded.stamp.size)) std::abort();
        if (molvane::core::encode_index(decoded) != data) std::abort();
    }
    return 0;
}
