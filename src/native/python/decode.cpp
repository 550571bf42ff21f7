#include "python/decode.hpp"

#include <string>

#include "python/block_note.hpp"
#include "python/errors.hpp"
#include "python/held_error.hpp"

namespace molvane::py {

namespace {

std::string decode_note(const core::Block& block, std::string_view access) {
    const std::string title = readable_title(block.title());
    std::string note;
    note.reserve(access.size() + title.size() + kDecodeAdvice.size() + 24);
    note.append(access).append(" the SDBlock titled '").append(title).append("'. ");
    note.append(kDecodeAdvice);
    return note;
}

// The note's access text for a record: "Reading record '{name}' of".
std::string record_access(std::string_view name) {
    std::string access = "Reading record '";
    Ref decoded = decode_replacing(name);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
    if (!utf8) throw PythonError{};
    access.append(utf8, static_cast<size_t>(size)).append("' of");
    return access;
}

// Adds the decode note for the access text that `access()` gives to the
// UnicodeDecodeError set, if that is the error. Building the note calls the
// interpreter, so the error is kept aside meanwhile; a note that cannot be
// built is left out.
template <class Access>
void note_decode_error_for(const core::Block& block, Access&& access) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
    HeldError error = HeldError::fetch();
    std::string note;
    try {
        note = decode_note(block, access());
    } catch (...) {
        note.clear();
    }
    PyErr_Clear();
    error.restore();
    if (!note.empty()) add_note_to_current_error(note);
}

// `bytes` as an object of the block's type; a failed decode gets its note
// from note_decode_error_for(block, access).
template <class Access>
Ref typed_value(const core::Block& block, std::string_view bytes, Access&& access) {
    const auto size = static_cast<Py_ssize_t>(bytes.size());
    if (block.is_bytes) return Ref::check(PyBytes_FromStringAndSize(bytes.data(), size));
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), size, "strict"));
    if (!text) {
        note_decode_error_for(block, access);
        throw PythonError{};
    }
    return text;
}

}  // namespace

Ref decode_replacing(std::string_view bytes) {
    return Ref::check(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

void note_decode_error(const core::Block& block, std::string_view access) noexcept {
    note_decode_error_for(block, [&] { return access; });
}

void raise_block_decode_error(const core::Block& block, std::string_view bytes, size_t start,
                              size_t end, std::string_view access) {
    try {
        raise_utf8_decode_error(bytes, start, end);
    } catch (const PythonError&) {
        note_decode_error(block, access);
        throw;
    }
}

Ref block_value(const core::Block& block, std::string_view bytes, std::string_view access) {
    return typed_value(block, bytes, [&] { return access; });
}

Ref record_object(const core::Block& block, std::string_view bytes, std::string_view record_name) {
    return typed_value(block, bytes, [&] { return record_access(record_name); });
}

Ref record_value_object(const core::Block& block, std::string_view sd,
                        const core::RecordSpan& record, std::string& scratch) {
    return record_object(block, core::record_value(sd, record, scratch), record.name(sd));
}

}  // namespace molvane::py
