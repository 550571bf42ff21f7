#include "core/ctable/utf8.hpp"

#include "core/utf8.hpp"

namespace molvane::ctable {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

unsigned char byte_at(std::string_view text, std::size_t pos) {
    return static_cast<unsigned char>(text[pos]);
}

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the sequence a lead byte announces, or 0 for a byte that cannot lead.
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Allowed range of the byte after a lead byte; later continuation bytes are
// always 0x80..0xBF. Surrogates are code points here, so ED may be followed
// by A0..BF.
bool second_byte_ok(unsigned char lead, unsigned char second) {
    switch (lead) {
        case 0xE0: return second >= 0xA0 && second <= 0xBF;
        case 0xF0: return second >= 0x90 && second <= 0xBF;
        case 0xF4: return second >= 0x80 && second <= 0x8F;
        default: return is_continuation(second);
    }
}

// Validates the sequence at pos. Returns its length when well-formed; else 0
// and sets *bad to the length of its maximal valid prefix (at least 1).
std::size_t valid_sequence(std::string_view text, std::size_t pos, std::size_t* bad) {
    const unsigned char lead = byte_at(text, pos);
    const std::size_t length = sequence_length(lead);
    if (length == 1) return 1;
    std::size_t taken = 1;
    if (length != 0) {
        for (; taken < length && pos + taken < text.size(); ++taken) {
            const unsigned char next = byte_at(text, pos + taken);
            const bool ok = taken == 1 ? second_byte_ok(lead, next) : is_continuation(next);
            if (!ok) break;
        }
        if (taken == length) return length;
    }
    *bad = taken;
    return 0;
}

char32_t sequence_value(std::string_view text, std::size_t pos, std::size_t length) {
    const unsigned char lead = byte_at(text, pos);
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i)
        value = (value << 6) | (byte_at(text, pos + i) & 0x3F);
    return value;
}

void append_utf8(std::string& out, char32_t value) {
    if (value < 0x80) {
        out.push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (value >> 6)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (value >> 12)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (value >> 18)));
        out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
}

}  // namespace

CodePoint decode_code_point(std::string_view text, std::size_t pos) {
    std::size_t bad = 0;
    const std::size_t length = valid_sequence(text, pos, &bad);
    if (length == 0) return {kReplacement, 1};
    return {sequence_value(text, pos, length), length};
}

std::string decode_utf8_lossy(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const core::Utf8Check check = core::check_utf8(text);
        out.append(text.substr(0, check.valid_up_to));
        if (check.valid(text)) break;
        // One replacement for each maximal ill-formed subpart.
        append_utf8(out, kReplacement);
        text.remove_prefix(check.error_end);
    }
    return out;
}

std::string latin1_to_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char byte : bytes)
        append_utf8(out, static_cast<unsigned char>(byte));
    return out;
}

std::optional<std::string> utf8_to_latin1(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const CodePoint cp = decode_code_point(text, pos);
        if (cp.value > 0xFF) return std::nullopt;
        out.push_back(static_cast<char>(cp.value));
        pos += cp.length;
    }
    return out;
}

}  // namespace molvane::ctable
