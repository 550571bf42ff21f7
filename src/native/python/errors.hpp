// The boundary between C++ and the interpreter, and the one place where
// failures become exceptions: every entry point runs its body through
// `boundary`, which turns any C++ failure into a Python exception (each core
// error kind into its class), and the helpers below raise the others.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <type_traits>

#include "core/file_fault.hpp"
#include "core/io_outcome.hpp"
#include "python/ref.hpp"

namespace molvane::py {

// Sets the Python exception for the C++ exception being handled. Call only
// from inside a catch block. `owner` (the module, one of its types, or an
// object of one) leads to the module state for the module's own exception
// classes; without one, those errors become SystemError.
void set_error_from_current_exception(PyObject* owner) noexcept;

// Runs the body of an entry point of `owner`, as above. A failure sets its
// Python exception and gives the interpreter's error return for the body's
// result type: null for an object, -1 for an int or Py_ssize_t.
template <class Body>
auto boundary(PyObject* owner, Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception(owner);
        if constexpr (std::is_pointer_v<decltype(body())>)
            return nullptr;
        else
            return -1;
    }
}

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// Throws PythonError if a Python call left an exception set.
inline void throw_if_error() {
    if (PyErr_Occurred()) throw PythonError{};
}

// Raises TypeError with `format`, whose one %U stands for the name of
// `object`'s type.
[[noreturn]] void raise_wrong_type(const char* format, PyObject* object);

// New classes of the module's exceptions, for its execution step:
// molvane.MalformedRecordError, and molvane.InternalError for a broken
// install.
Ref new_malformed_record_error();
Ref new_internal_error();

// Adds `note` to the exception currently set, as exc.add_note(note) does.
void add_note_to_current_error(std::string_view note) noexcept;

// Raises the UnicodeDecodeError that strict UTF-8 decoding of `bytes` raises
// for the invalid range [start, end).
[[noreturn]] void raise_utf8_decode_error(std::string_view bytes, size_t start, size_t end);

// Checks an invariant of the glue; a failure raises SystemError
// "internal error: {what}" rather than going on in a broken state.
[[noreturn]] void raise_internal(const char* what);
inline void check_invariant(bool condition, const char* what) {
    if (!condition) raise_internal(what);
}

// I/O failures. An operating-system error number on a path becomes
// OSError(errno, os.strerror(errno), path), which picks the subclass.
[[noreturn]] void raise_os_error(int error_number, PyObject* path_object);
// The same with a message of our own in place of os.strerror(errno).
[[noreturn]] void raise_os_error(int error_number, std::string_view message, PyObject* path_object);

// Raises the exception for a failed file call on `path_object` (what
// os.fspath() returned): raise_os_error for a system error, OSError with a
// message of its own for the others. Returns when the call succeeded.
void raise_if_failed(const core::IoOutcome& outcome, PyObject* path_object);

// Raises the exception of `fault` on the file `path_object` (what
// os.fspath() returned; for an index fault, the index's path): the one place
// where the random-access, index and BGZF faults become exceptions. Returns
// for no fault, and for an interrupted call once the signal handlers ran
// without raising, as raise_if_failed() does.
void raise_file_fault(PyObject* path_object, const core::FileFault& fault);

// OSError(EIO) for a mapped file found shorter than its mapping while read.
[[noreturn]] void raise_file_shrank(PyObject* path_object);

// Runs Python's signal handlers; what they raise (KeyboardInterrupt, say)
// propagates. Cheap when no signal is pending.
inline void check_signals() {
    if (PyErr_CheckSignals() < 0) throw PythonError{};
}

}  // namespace molvane::py
