#include "core/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace molvane::core {

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ULL;

inline uint64_t load_word(const char* p) noexcept {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Checks [i, n) eight bytes at a time; the tail byte by byte.
inline bool ascii_words(const char* p, size_t i, size_t n) noexcept {
    for (; i + 8 <= n; i += 8)
        if (load_word(p + i) & kHighBits) return false;
    for (; i < n; ++i)
        if (static_cast<unsigned char>(p[i]) & 0x80) return false;
    return true;
}

// Length of the run of ASCII bytes at the start of [i, n).
inline size_t ascii_run(const char* p, size_t i, size_t n) noexcept {
    const size_t start = i;
    while (i + 8 <= n && !(load_word(p + i) & kHighBits))
        i += 8;
    while (i < n && !(static_cast<unsigned char>(p[i]) & 0x80))
        ++i;
    return i - start;
}

}  // namespace

bool is_ascii(std::string_view text) noexcept {
    const char* p = text.data();
    const size_t n = text.size();
    if (n < 64) return ascii_words(p, 0, n);
    // Long texts: OR eight words together so that one test covers 64 bytes.
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        uint64_t any = 0;
        for (size_t k = 0; k < 64; k += 8)
            any |= load_word(p + i + k);
        if (any & kHighBits) return false;
    }
    return ascii_words(p, i, n);
}

Utf8Check check_utf8(std::string_view text) noexcept {
    const char* p = text.data();
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        i += ascii_run(p, i, n);
        if (i >= n) break;
        const auto lead = static_cast<unsigned char>(p[i]);
        // Continuation bytes needed, and the allowed range of the first one
        // (narrower after E0, ED, F0 and F4, which excludes overlong forms,
        // surrogates and code points above U+10FFFF).
        size_t needed = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            needed = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            needed = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            needed = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return {i, i + 1};
        }
        for (size_t k = 1; k <= needed; ++k) {
            if (i + k >= n) return {i, n};
            const auto next = static_cast<unsigned char>(p[i + k]);
            if (next < low || next > high) return {i, i + k};
            low = 0x80;
            high = 0xBF;
        }
        i += needed + 1;
    }
    return {n, n};
}

}  // namespace molvane::core
