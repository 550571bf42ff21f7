#include "core/pickle_state.hpp"

#include <string>

#include "core/dollar_line.hpp"

namespace molvane::core {

std::optional<Block> block_from_state(std::string_view data, uint64_t title_end, uint64_t mdl_end,
                                      bool is_bytes) {
    if (data.size() <= 1) return std::nullopt;
    std::string_view terminator = terminator_of(data);
    if (!data.ends_with(terminator)) return std::nullopt;
    const size_t dollar_start = data.size() - terminator.size();
    if (title_end == 0) {
        if (mdl_end != 0 || dollar_start != 0) return std::nullopt;
    } else {
        size_t first_lf = find_byte(data, 0, '\n');
        if (first_lf == npos || first_lf != title_end - 1) return std::nullopt;
        if (mdl_end < title_end || mdl_end > dollar_start) return std::nullopt;
        if (data[mdl_end - 1] != '\n') return std::nullopt;
        // The terminator must be a line of its own: every line ends in LF.
        if (data[dollar_start - 1] != '\n') return std::nullopt;
    }
    Block block;
    block.text = BlockText(std::string(data));
    block.title_end = title_end;
    block.mdl_end = mdl_end;
    block.is_bytes = is_bytes;
    block.utf8_checked = false;
    return block;
}

}  // namespace molvane::core
