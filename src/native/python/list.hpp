// Python lists built item by item from C++ sequences.
#pragma once

#include <Python.h>

#include <cstddef>

#include "python/ref.hpp"

namespace molvane::py {

// A new list of `count` items, the i-th being item(i) (a Ref).
template <class Item>
Ref new_list(std::size_t count, Item&& item) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        // PyList_SetItem takes over the reference.
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item(i).release()) < 0)
            throw PythonError{};
    }
    return list;
}

}  // namespace molvane::py
