#include "python/arguments.hpp"

#include <cstdint>
#include <string>

#include "python/errors.hpp"

namespace molvane::py {

void parse_fast_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, std::span<const char* const> names, size_t required,
                          std::span<PyObject*> values) {
    const auto count = static_cast<Py_ssize_t>(names.size());
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)", function,
                     count, nargs);
        throw PythonError{};
    }
    uint64_t given = 0;  // bit i: parameter i was passed
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[static_cast<size_t>(i)] = args[i];
        given |= uint64_t{1} << i;
    }
    const Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (!keyword) throw PythonError{};
        size_t slot = 0;
        while (slot < names.size() && PyUnicode_CompareWithASCIIString(keyword, names[slot]) != 0)
            ++slot;
        if (slot == names.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         keyword);
            throw PythonError{};
        }
        if (given & (uint64_t{1} << slot)) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %s() given by name ('%s') and position (%zu)", function,
                         names[slot], slot + 1);
            throw PythonError{};
        }
        values[slot] = args[nargs + k];
        given |= uint64_t{1} << slot;
    }
    for (size_t i = 0; i < required; ++i) {
        if (!(given & (uint64_t{1} << i))) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                         names[i], i + 1);
            throw PythonError{};
        }
    }
}

uint64_t byte_offset_argument(const char* function, const char* name, PyObject* value) {
    // bool is an int, but an offset given as True is a mistake.
    if (PyBool_Check(value) || !PyIndex_Check(value)) {
        const std::string format =
            std::string(function) + "() " + name + " must be an int byte offset, not %U";
        raise_wrong_type(format.c_str(), value);
    }
    Ref number = Ref::check(PyNumber_Index(value));
    Ref zero = Ref::check(PyLong_FromLong(0));
    const int negative = PyObject_RichCompareBool(number.get(), zero.get(), Py_LT);
    if (negative < 0) throw PythonError{};
    if (negative) {
        PyErr_Format(PyExc_ValueError, "%s() %s must not be negative, got %R", function, name,
                     number.get());
        throw PythonError{};
    }
    const unsigned long long offset = PyLong_AsUnsignedLongLong(number.get());
    if (offset == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        return UINT64_MAX;
    }
    return offset;
}

}  // namespace molvane::py
