// How an input ends, read from its last bytes: after a `$$$$` line, after
// blank lines that follow the last `$$$$` line, or with text that no `$$$$`
// line closes. A linter reports the last one as a truncated block and the
// blank lines as no block at all.
#pragma once

#include <string_view>

namespace molvane::core {

enum class InputEnding { Unknown, Terminated, Blank, Open };

// `tail` holds the input's last bytes (a few dozen are enough); Unknown for
// an input without text.
InputEnding input_ending(std::string_view tail) noexcept;

}  // namespace molvane::core
