// Python objects for scanned records: names through the per-thread name
// cache, values built fresh.
#pragma once

#include <string>
#include <string_view>

#include "core/block.hpp"
#include "core/record.hpp"
#include "python/name_cache.hpp"
#include "python/ref.hpp"

namespace molvane::py {

// The record's value (CR LF folded to LF) as a new object of the block's type;
// `scratch` is reused between calls to hold folded values.
Ref record_value_object(const core::Block& block, std::string_view sd,
                        const core::RecordSpan& record, std::string& scratch);

// The tuple (name, value) for `records()`.
Ref record_pair(RecordNames& names, std::string_view sd, const core::RecordSpan& record,
                std::string& scratch);

}  // namespace molvane::py
