// The boundary between C++ and the interpreter: every entry point runs its
// body through `boundary`, which turns any C++ failure into a Python
// exception, and the helpers below raise the module's exceptions.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <type_traits>

#include "python/ref.hpp"

namespace molvane::py {

// Sets the Python exception for the C++ exception being handled. Call only
// from inside a catch block.
void set_error_from_current_exception() noexcept;

// Runs an entry point's body. A failure sets its Python exception and gives
// the interpreter's error return for the body's result type: null for an
// object, -1 for an int or Py_ssize_t.
template <class Body>
auto boundary(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
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

// molvane.MalformedRecordError, created once per process (borrowed reference).
PyObject* malformed_record_error();

// Adds `note` to the exception currently set, as exc.add_note(note) does.
void add_note_to_current_error(std::string_view note) noexcept;

// The connection-table classes defined by molvane.ctable, fetched on first use.
enum class CTableErrorClass {
    MalformedCTable,
    IndicesDuplicate,
    IndicesMismatch,
    IndicesOutOfOrder
};
[[noreturn]] void raise_ctable_error(CTableErrorClass cls, std::string_view message);

// I/O failures. An operating-system error number on a path becomes
// OSError(errno, os.strerror(errno), path), which picks the subclass.
[[noreturn]] void raise_os_error(int error_number, PyObject* path_object);
// The same with a message of our own in place of os.strerror(errno).
[[noreturn]] void raise_os_error(int error_number, std::string_view message, PyObject* path_object);

enum class IoErrorKind {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    ConnectionAborted,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    NotADirectory,
    IsADirectory,
    TimedOut,
    Interrupted,
    OutOfMemory,
    InvalidInput,
    WriteZero,
    Other,
};
[[noreturn]] void raise_io_error(IoErrorKind kind, std::string_view text);

// Runs Python's signal handlers; what they raise (KeyboardInterrupt, say)
// propagates. Cheap when no signal is pending.
inline void check_signals() {
    if (PyErr_CheckSignals() < 0) throw PythonError{};
}

inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr std::string_view kReadNone =
    "file object read returned None: it is non-blocking and has no data ready; read it in "
    "blocking mode";
inline constexpr std::string_view kWriteZero = "failed to write whole buffer";

}  // namespace molvane::py
