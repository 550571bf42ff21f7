#include "core/newline.hpp"

#include <cstring>

#include "core/lines.hpp"

namespace molvane::core {

size_t translate_newlines(char* buf, size_t n, bool& cr_carry) noexcept {
    if (n == 0) return 0;
    const bool carried = cr_carry;
    cr_carry = false;
    size_t read = 0;
    size_t write = 0;
    if (carried && buf[0] == '\n') {
        read = 1;
    } else if (buf[0] != '\r') {
        const void* cr = std::memchr(buf, '\r', n);
        if (!cr) return n;
        read = write = static_cast<size_t>(static_cast<const char*>(cr) - buf);
    }
    while (read < n) {
        const void* hit = std::memchr(buf + read, '\r', n - read);
        size_t cr = hit ? static_cast<size_t>(static_cast<const char*>(hit) - buf) : n;
        size_t run = cr - read;
        if (run && write != read) std::memmove(buf + write, buf + read, run);
        write += run;
        if (cr == n) break;
        buf[write++] = '\n';
        read = cr + 1;
        if (read == n) {
            cr_carry = true;
        } else if (buf[read] == '\n') {
            ++read;
        }
    }
    return write;
}

std::string translated_copy(std::string_view text, size_t first_cr) {
    if (first_cr >= text.size()) return std::string(text);
    std::string copy;
    copy.reserve(text.size() + 16);
    copy.assign(text);
    bool carry = false;
    size_t tail = translate_newlines(copy.data() + first_cr, copy.size() - first_cr, carry);
    copy.resize(first_cr + tail);
    return copy;
}

std::string_view translated_view(std::string_view text, std::string& scratch) {
    size_t first_cr = find_byte(text, 0, '\r');
    if (first_cr == npos) return text;
    scratch = translated_copy(text, first_cr);
    return scratch;
}

}  // namespace molvane::core
