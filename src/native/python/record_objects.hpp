// Python objects for scanned records: names through the per-thread name
// cache, values built fresh, and the decode note that names the record.
#pragma once

#include <string>
#include <string_view>

#include "core/block.hpp"
#include "core/record.hpp"
#include "python/name_cache.hpp"
#include "python/ref.hpp"

namespace molvane::py {

// If the error set is a UnicodeDecodeError, adds the note "Reading record
// '{name}' of the SDBlock titled ...".
void note_record_decode_error(const core::Block& block, std::string_view name) noexcept;

// The record's value (CR LF folded to LF) as a new object of the block's type;
// `scratch` is reused between calls to hold folded values.
Ref record_value_object(const core::Block& block, std::string_view sd,
                        const core::RecordSpan& record, std::string& scratch);

// The tuple (name, value) for `records()`.
Ref record_pair(RecordNames& names, std::string_view sd, const core::RecordSpan& record,
                std::string& scratch);

}  // namespace molvane::py
