// A block's pickle state, (data, title_end, mdl_end, text): the exact bytes
// and offsets, checked against the block invariants when read back.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/block.hpp"

namespace molvane::core {

// The block a state describes, or nothing when no block could have that
// state: data must end in its terminator line "$$$$\n" or "$$$$\r\n", which
// starts a line; title_end must follow the first LF (or be 0 for a block that
// is only the terminator line); mdl_end must lie in [title_end, dollar_start]
// just after an LF. The text is owned and not checked as UTF-8.
std::optional<Block> block_from_state(std::string_view data, uint64_t title_end, uint64_t mdl_end,
                                      bool is_bytes);

}  // namespace molvane::core
