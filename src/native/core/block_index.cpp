#include "core/block_index.hpp"

#include <new>

#include "core/block_bounds.hpp"
#include "core/fault_guard.hpp"
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
            std::size_t start = 0;
            while (start < size) {
                offsets.push_back(start);
                start = block_end(data, size, start, universal);
            }
            offsets.push_back(size);
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
    if (size == 0) return true;
    if (pieces == 0) pieces = 1;
    if (pieces > size) pieces = size;
    // Keeps (size % pieces) * k below 2**64.
    if (pieces > (std::size_t{1} << 31)) pieces = std::size_t{1} << 31;
    bounds.reserve(pieces + 1);
    bounds.push_back(0);
    bool intact = true;
    for (std::size_t k = 1; k < pieces && intact; ++k) {
        // k * size / pieces, without overflow.
        const std::size_t cut = size / pieces * k + size % pieces * k / pieces;
        std::size_t start = size;
        auto find = [&]() noexcept { start = next_block_start(data, size, cut, universal); };
        intact = run_guarded(data, size, find);
        if (start > bounds.back() && start < size) bounds.push_back(start);
    }
    bounds.push_back(size);
    return intact;
}

}  // namespace molvane::core
