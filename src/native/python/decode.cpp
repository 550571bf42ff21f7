#include "python/decode.hpp"

#include "python/errors.hpp"

namespace molvane::py {

Ref decode_replacing(std::string_view bytes) {
    return Ref::check(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

std::string decode_note(const core::Block& block, std::string_view access) {
    std::string title;
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(
        block.title().data(), static_cast<Py_ssize_t>(block.title().size()), "replace"));
    Py_ssize_t size = 0;
    const char* utf8 = decoded ? PyUnicode_AsUTF8AndSize(decoded.get(), &size) : nullptr;
    if (utf8) title.assign(utf8, static_cast<size_t>(size));
    std::string note;
    note.reserve(access.size() + title.size() + kDecodeAdvice.size() + 24);
    note.append(access).append(" the SDBlock titled '").append(title).append("'. ");
    note.append(kDecodeAdvice);
    return note;
}

void note_decode_error(const core::Block& block, std::string_view access) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
    // Building the note calls the interpreter: keep the error aside meanwhile.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    std::string note;
    try {
        note = decode_note(block, access);
    } catch (...) {
        PyErr_Clear();
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (!note.empty()) add_note_to_current_error(note);
}

Ref block_value(const core::Block& block, std::string_view bytes, std::string_view access) {
    const auto size = static_cast<Py_ssize_t>(bytes.size());
    if (block.is_bytes) return Ref::check(PyBytes_FromStringAndSize(bytes.data(), size));
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), size, "strict");
    if (!text) {
        note_decode_error(block, access);
        throw PythonError{};
    }
    return Ref::steal(text);
}

std::string record_access(std::string_view name) {
    std::string access = "Reading record '";
    Ref decoded = decode_replacing(name);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
    if (!utf8) throw PythonError{};
    access.append(utf8, static_cast<size_t>(size)).append("' of");
    return access;
}

}  // namespace molvane::py
