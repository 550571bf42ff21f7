#include "python/block_note.hpp"

#include <algorithm>

#include "core/ctable/table.hpp"
#include "core/error.hpp"
#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/held_error.hpp"

namespace molvane::py {

namespace {

// Titles are single lines, but one can still be a megabyte of junk.
constexpr Py_ssize_t kTitleCharacters = 80;
constexpr size_t kLabelTitleBytes = 4 * kTitleCharacters;

std::string location_note(const BlockLabel& label) {
    std::string note = "In the SDBlock titled '" + readable_title(label.title) + "'";
    const core::BlockOrigin& origin = label.origin;
    if (origin.number != core::kUnknownOrigin) {
        note += " (block " + std::to_string(origin.number) + " from 0";
        if (origin.offset != core::kUnknownOrigin)
            note += ", at byte " + std::to_string(origin.offset);
        note += ")";
    }
    note += ".";
    return note;
}

}  // namespace

BlockLabel BlockLabel::of(const core::Block& block) {
    std::string_view title = block.title();
    return {std::string(title.substr(0, std::min(title.size(), kLabelTitleBytes))), block.origin};
}

std::string readable_title(std::string_view title) {
    Ref decoded = decode_replacing(title);
    const bool cut = PyUnicode_GetLength(decoded.get()) > kTitleCharacters;
    if (cut) decoded = Ref::check(PyUnicode_Substring(decoded.get(), 0, kTitleCharacters));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
    if (!utf8) throw PythonError{};
    std::string readable(utf8, static_cast<size_t>(size));
    if (cut) readable += "\u2026";
    return readable;
}

void name_block_in_error(PyObject* owner, const BlockLabel& label) {
    try {
        throw;
    } catch (const ctable::TableError&) {
        // every connection-table error
    } catch (const core::Error& error) {
        if (error.kind() != core::ErrorKind::MalformedRecord) return;
    } catch (...) {
        return;
    }
    set_error_from_current_exception(owner);
    std::string note;
    HeldError pending = HeldError::fetch();
    try {
        note = location_note(label);
    } catch (...) {
        // Without its note the error still says what went wrong.
        note.clear();
    }
    PyErr_Clear();
    pending.restore();
    if (!note.empty()) add_note_to_current_error(note);
    throw PythonError{};
}

void name_block_in_error(PyObject* owner, const core::Block& block) {
    name_block_in_error(owner, BlockLabel::of(block));
}

}  // namespace molvane::py
