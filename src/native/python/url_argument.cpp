#include "python/url_argument.hpp"

#include <string_view>

#include "core/url.hpp"
#include "python/ref.hpp"

namespace molvane::py {

bool is_url_argument(PyObject* source) {
    if (PyBytes_Check(source)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(source, &data, &size) < 0) throw PythonError{};
        return core::is_url(std::string_view(data, static_cast<std::size_t>(size)));
    }
    if (!PyUnicode_Check(source)) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(source, &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    return core::is_url(std::string_view(data, static_cast<std::size_t>(size)));
}

}  // namespace molvane::py
