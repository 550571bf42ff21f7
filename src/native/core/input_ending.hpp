// How an input ends, read from its last bytes: after a `$$$$` line, after
// blank lines that follow the last `$$$$` line, or with text that no `$$$$`
// line closes. A linter reports the last one as a truncated block and the
// blank lines as no block at all.
//
// Whitespace after the last `$$$$` line is the input's trailing whitespace,
// not a block: the splitter still hands it out as a final piece (parse_sdf
// yields it as it always did), and every reader that counts, indexes,
// tabulates or copies blocks asks here whether a piece is that tail.
#pragma once

#include <cstddef>
#include <string_view>

namespace molvane::core {

enum class InputEnding { Unknown, Terminated, Blank, Open };

// `tail` holds the input's last bytes (a few dozen are enough); Unknown for
// an input without text.
InputEnding input_ending(std::string_view tail) noexcept;

// Whether a piece the splitter cut holds only ASCII whitespace. Every piece
// but the last ends with a `$$$$` line, so such a piece is the whitespace
// after the last `$$$$` line (or the whole of an input of only whitespace).
bool is_blank_tail(std::string_view piece) noexcept;

// Where the trailing whitespace of data[0, size) starts, as the splitter
// (LF rule, or the universal rule) would cut it: `size` when the data does
// not end in such a piece, 0 for data of only whitespace. Reads backwards
// from the end only as far as the start of the last line with text.
std::size_t blank_tail_start(const char* data, std::size_t size, bool universal) noexcept;

}  // namespace molvane::core
