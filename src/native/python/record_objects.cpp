#include "python/record_objects.hpp"

#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/name_cache.hpp"

namespace molvane::py {

void note_record_decode_error(const core::Block& block, std::string_view name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
    // Naming the record calls the interpreter: keep the error aside meanwhile.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    std::string access;
    try {
        access = record_access(name);
    } catch (...) {
        access.clear();
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (!access.empty()) note_decode_error(block, access);
}

Ref record_value_object(const core::Block& block, std::string_view sd,
                        const core::RecordSpan& record, std::string& scratch) {
    std::string_view value = core::record_value(sd, record, scratch);
    const auto size = static_cast<Py_ssize_t>(value.size());
    if (block.is_bytes) return Ref::check(PyBytes_FromStringAndSize(value.data(), size));
    PyObject* text = PyUnicode_DecodeUTF8(value.data(), size, "strict");
    if (!text) {
        note_record_decode_error(block, record.name(sd));
        throw PythonError{};
    }
    return Ref::steal(text);
}

Ref record_pair(RecordNames& names, std::string_view sd, const core::RecordSpan& record,
                std::string& scratch) {
    Ref name = names.make(record.name(sd));
    Ref value = record_value_object(names.block(), sd, record, scratch);
    return Ref::check(PyTuple_Pack(2, name.get(), value.get()));
}

}  // namespace molvane::py
