#include "core/block_bounds.hpp"

#include <cstring>

#include "core/split.hpp"

namespace molvane::core {

namespace {

// Start of the line that holds the byte at `at` (< size).
std::size_t line_start(const char* data, std::size_t at, bool universal) noexcept {
    // The LF of a CR LF ending belongs to the same line as the CR.
    if (universal && at > 0 && data[at] == '\n' && data[at - 1] == '\r') --at;
    const void* lf = at ? memrchr(data, '\n', at) : nullptr;
    std::size_t start = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1 : 0;
    if (universal && start < at) {
        // Only the stretch after the last LF can hold a later CR.
        const void* cr = memrchr(data + start, '\r', at - start);
        if (cr) start = static_cast<std::size_t>(static_cast<const char*>(cr) - data) + 1;
    }
    return start;
}

}  // namespace

std::size_t next_block_start(const char* data, std::size_t size, std::size_t from,
                             bool universal) noexcept {
    if (from == 0) return 0;
    if (from >= size) return size;
    // A block starts at `from` or later exactly where a `$$$$` line ending at
    // or after `from` ends; the first candidate is the line holding from - 1.
    const std::size_t start = line_start(data, from - 1, universal);
    return universal ? split_universal(data, size, start).end : split_lf(data, size, start).end;
}

std::size_t next_block_start_in_window(const char* data, std::size_t size, std::size_t from,
                                       bool universal, bool at_start, bool at_end) noexcept {
    constexpr std::size_t unknown = static_cast<std::size_t>(-1);
    if (from == 0) return at_start ? 0 : unknown;
    if (from >= size) return at_end && from == size ? size : unknown;
    const std::size_t start = line_start(data, from - 1, universal);
    // A line found to start at the window's first byte may start earlier.
    if (start == 0 && !at_start) return unknown;
    const std::size_t end =
        universal ? split_universal(data, size, start).end : split_lf(data, size, start).end;
    if (end >= size && !at_end) return unknown;
    return end;
}

}  // namespace molvane::core
