#include "core/block_index.hpp"

#include <algorithm>
#include <new>

#include "core/block_bounds.hpp"
#include "core/fault_guard.hpp"
#include "core/input_ending.hpp"
#include "core/split.hpp"

namespace molvane::core {

bool index_blocks(const char* data, std::size_t size, bool universal,
                  std::vector<uint64_t>& offsets) {
    install_fault_handler();
    bool out_of_memory = false;
    // The guarded work may not own anything, so the vector is the caller's
    // and an allocation failure leaves it through a flag.
    auto scan = [&]() noexcept {
        try {
            // Trailing whitespace is no block: the last block ends where it starts.
            const std::size_t end = blank_tail_start(data, size, universal);
            std::size_t start = 0;
            while (start < end) {
                offsets.push_back(start);
                start = block_end(data, size, start, universal);
            }
            offsets.push_back(end);
        } catch (...) {
            out_of_memory = true;
        }
    };
    const bool intact = run_guarded(data, size, scan);
    if (out_of_memory) throw std::bad_alloc();
    return intact;
}

bool cut_shards(const char* data, std::size_t size, std::size_t pieces, bool universal,
                std::vector<uint64_t>& bounds) {
    install_fault_handler();
    bounds.clear();
    // Trailing whitespace is no block, so no shard holds only it: the cuts
    // cover the blocks, and the last shard ends where the whitespace starts.
    std::size_t end = size;
    auto find_tail = [&]() noexcept { end = blank_tail_start(data, size, universal); };
    if (!run_guarded(data, size, find_tail)) return false;
    if (end == 0) return true;
    if (pieces == 0) pieces = 1;
    if (pieces > size) pieces = size;
    // Keeps (size % pieces) * k below 2**64.
    if (pieces > (std::size_t{1} << 31)) pieces = std::size_t{1} << 31;
    // k * size / pieces, without overflow; grows with k.
    auto cut_at = [&](std::size_t k) noexcept {
        return size / pieces * k + size % pieces * k / pieces;
    };
    // Far more pieces than blocks are asked for by a tiny size or a huge n:
    // the list grows with the blocks found, not with what was asked.
    bounds.reserve(std::min<std::size_t>(pieces, 4096) + 1);
    bounds.push_back(0);
    bool intact = true;
    for (std::size_t k = 1; k < pieces && intact;) {
        std::size_t start = size;
        const std::size_t cut = cut_at(k);
        auto find = [&]() noexcept { start = next_block_start(data, size, cut, universal); };
        intact = run_guarded(data, size, find);
        if (start >= end) break;
        if (start > bounds.back()) bounds.push_back(start);
        // Every cut at or before this block start would find it again: the
        // next cut is the first past it, found by bisection, so the work is
        // bounded by the blocks (and each byte is scanned about once).
        std::size_t low = k + 1;
        std::size_t high = pieces;
        while (low < high) {
            const std::size_t middle = low + (high - low) / 2;
            if (cut_at(middle) > start)
                high = middle;
            else
                low = middle + 1;
        }
        k = low;
    }
    bounds.push_back(end);
    return intact;
}

}  // namespace molvane::core
