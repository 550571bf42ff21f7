// Newline translation fed in random pieces, carrying the CR flag from piece
// to piece, must equal the translation of the whole text, which must equal a
// plain byte-by-byte reference.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/newline.hpp"

namespace {

std::string reference(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            out += text[i];
        } else {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte seeds the piece sizes; the rest is the text.
    unsigned seed = data[0];
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::string whole = text;
    bool carry = false;
    whole.resize(molvane::core::translate_newlines(whole.data(), whole.size(), carry));
    if (whole != reference(text)) std::abort();

    std::string pieces;
    carry = false;
    for (size_t pos = 0; pos < text.size();) {
        seed = seed * 1103515245u + 12345u;
        size_t len = 1 + (seed >> 16) % 17;
        if (len > text.size() - pos) len = text.size() - pos;
        std::string piece = text.substr(pos, len);
        piece.resize(molvane::core::translate_newlines(piece.data(), piece.size(), carry));
        pieces += piece;
        pos += len;
    }
    if (pieces != whole) std::abort();

    size_t first_cr = text.find('\r');
    if (molvane::core::translated_copy(
            text, first_cr == std::string::npos ? text.size() : first_cr) != whole)
        std::abort();
    return 0;
}
