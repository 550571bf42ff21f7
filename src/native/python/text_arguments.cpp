#include "python/text_arguments.hpp"

#include <memory>
#include <string>

#include "core/block.hpp"
#include "python/errors.hpp"
#include "python/process_cell.hpp"

namespace molvane::py {

namespace {

Ref intern(const char* text) {
    return Ref::check(PyUnicode_InternFromString(text));
}

}  // namespace

const Names& names() {
    static ProcessCell<Names> cell;
    return *cell.get([] {
        return std::unique_ptr<Names>(new Names{intern("write"), intern("read1"), intern("read"),
                                                intern("items"), intern("add_note"),
                                                intern("__fspath__"), intern("_from_state")});
    });
}

std::string_view str_or_bytes_view(PyObject* value) {
    if (PyBytes_Check(value)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(value, &data, &size) < 0) throw PythonError{};
        return {data, static_cast<size_t>(size)};
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) throw PythonError{};
    return {data, static_cast<size_t>(size)};
}

std::string_view block_typed_bytes(const core::Block& block, PyObject* value,
                                   std::string_view noun) {
    bool matches = block.is_bytes ? PyBytes_Check(value) : PyUnicode_Check(value);
    if (!matches) {
        std::string message = block.is_bytes ? "byte-backed SDBlock " : "text SDBlock ";
        message.append(noun).append(block.is_bytes ? " must be bytes" : " must be str");
        raise(PyExc_TypeError, message);
    }
    return str_or_bytes_view(value);
}

}  // namespace molvane::py
