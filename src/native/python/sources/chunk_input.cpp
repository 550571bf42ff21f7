#include "python/sources/chunk_input.hpp"

#include "core/newline.hpp"

namespace molvane::py {

void ChunkInput::commit_read(char* space, std::size_t got, bool let_go) {
    std::size_t length = got;
    if (kind == core::TextKind::Text) {
        bool& carry = cr_carry_;
        const auto translate = [&]() noexcept {
            return core::translate_newlines(space, got, carry);
        };
        length = let_go ? without_gil(translate) : translate();
        // A CR LF folded to LF: offsets in the text no longer match the input.
        if (length != got) offsets_exact = false;
    } else if (let_go) {
        without_gil([] {});
    }
    splitter.commit(length);
}

void ChunkInput::set_kind(core::TextKind read_kind, const char* mixed_message) {
    if (!core::fix_kind(kind, read_kind)) raise(PyExc_TypeError, mixed_message);
}

void ChunkInput::reset() noexcept {
    splitter.reset();
    cr_carry_ = false;
}

}  // namespace molvane::py
