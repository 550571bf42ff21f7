// Byte-level text checks: the all-ASCII test that picks a file object's fast
// path when writing, and the one strict UTF-8 validation, which reports where
// the first invalid sequence lies (for writing text blocks, for the table
// lines of text blocks and for replacing decoding).
#pragma once

#include <cstddef>
#include <string_view>

namespace molvane::core {

// True when every byte is below 0x80.
bool is_ascii(std::string_view text) noexcept;

struct Utf8Check {
    // Length of the longest valid prefix; the whole text when it is valid.
    size_t valid_up_to = 0;
    // End of the first invalid sequence (its maximal ill-formed subpart, as
    // Python's decoder reports it), or the text's end when the text stops
    // inside an incomplete sequence. Equals valid_up_to for a valid text.
    size_t error_end = 0;

    bool valid(std::string_view text) const noexcept { return valid_up_to == text.size(); }
};

Utf8Check check_utf8(std::string_view text) noexcept;

}  // namespace molvane::core
