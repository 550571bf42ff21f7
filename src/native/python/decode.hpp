// Values taken out of a block: bytes for byte-backed blocks, strictly decoded
// UTF-8 str for text blocks, with a note naming the block when decoding fails.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "core/block.hpp"
#include "core/record.hpp"
#include "python/ref.hpp"

namespace molvane::py {

inline constexpr std::string_view kDecodeAdvice =
    "parse_sdf(os.fsencode(path)) reads such files as bytes, and "
    "parse_sdf(open(path, encoding=...)) decodes another encoding.";

// UTF-8 with each invalid sequence replaced by U+FFFD.
Ref decode_replacing(std::string_view bytes);

// If the error set is a UnicodeDecodeError, adds the decode note
// "{access} the SDBlock titled '{title}'. {advice}".
void note_decode_error(const core::Block& block, std::string_view access) noexcept;

// Raises the UnicodeDecodeError for the invalid range [start, end) of
// `bytes`, read from the block, with the decode note for `access`.
[[noreturn]] void raise_block_decode_error(const core::Block& block, std::string_view bytes,
                                           size_t start, size_t end, std::string_view access);

// `bytes` as an object of the block's type; `access` names what is read
// ("Reading the title of", ...) for the note of a failed decode.
Ref block_value(const core::Block& block, std::string_view bytes, std::string_view access);

// A record's name or value as an object of the block's type; the note of a
// failed decode reads "Reading record '{record_name}' of the SDBlock ...".
Ref record_object(const core::Block& block, std::string_view bytes, std::string_view record_name);

// The value of a scanned record (CR LF folded to LF) as a new object of the
// block's type; `scratch` is reused between calls to hold folded values.
Ref record_value_object(const core::Block& block, std::string_view sd,
                        const core::RecordSpan& record, std::string& scratch);

}  // namespace molvane::py
