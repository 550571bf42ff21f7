#include "python/text_arguments.hpp"

#include <string>

#include "core/block.hpp"
#include "python/errors.hpp"

namespace molvane::py {

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
