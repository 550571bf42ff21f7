// A contiguous, read-only view of an object's buffer, released with the holder.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "python/errors.hpp"

namespace molvane::py {

class BufferView {
  public:
    explicit BufferView(PyObject* object) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) throw PythonError{};
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }
    std::string_view view() const noexcept { return {data(), size()}; }

  private:
    Py_buffer view_{};
};

}  // namespace molvane::py
