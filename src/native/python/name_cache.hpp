// The record-name cache: record names repeat across the blocks of a file, so
// each thread keeps the Python objects of short names it has made and hands
// out new references to them instead of building equal objects again.
#pragma once

#include <string_view>

#include "core/block.hpp"
#include "python/ref.hpp"

namespace molvane::py {

// The name as an object of the block's type. A str block's name is decoded
// strictly; a UnicodeDecodeError gets the decode note for the record.
Ref record_name(const core::Block& block, std::string_view name);

}  // namespace molvane::py
