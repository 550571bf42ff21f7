// What the blocks of one stream are: text (strict UTF-8 on access, newlines
// translated) or bytes. A reader fixes the kind at its first input that has
// one, a writer to a file object at its first block, and neither mixes them.
#pragma once

namespace molvane::core {

enum class TextKind { Undecided, Text, Bytes };

// Fixes `kind` at `next` while it is undecided; false when `next` differs
// from the kind fixed before.
constexpr bool fix_kind(TextKind& kind, TextKind next) noexcept {
    if (kind == TextKind::Undecided) kind = next;
    return kind == next;
}

}  // namespace molvane::core
