#include "python/errors.hpp"

#include <array>
#include <cerrno>
#include <new>
#include <string>

#include "core/ctable/table.hpp"
#include "core/error.hpp"
#include "python/held_error.hpp"
#include "python/process_cell.hpp"
#include "python/text_arguments.hpp"

namespace molvane::py {

namespace {

PyObject* class_for(core::ErrorKind kind) {
    switch (kind) {
        case core::ErrorKind::Type: return PyExc_TypeError;
        case core::ErrorKind::Value: return PyExc_ValueError;
        case core::ErrorKind::Buffer: return PyExc_BufferError;
        case core::ErrorKind::Runtime: return PyExc_RuntimeError;
        case core::ErrorKind::NotImplemented: return PyExc_NotImplementedError;
        case core::ErrorKind::MalformedRecord: return malformed_record_error();
        case core::ErrorKind::Internal: return PyExc_SystemError;
    }
    return PyExc_SystemError;
}

// The str() of an exception value, for messages that quote it.
std::string describe(PyObject* value) {
    if (!value) return "unknown error";
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) {
        PyErr_Clear();
        return "unprintable error";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) {
        PyErr_Clear();
        return "unprintable error";
    }
    return std::string(utf8, static_cast<size_t>(size));
}

// Raised in place of a connection-table error when molvane.ctable cannot
// supply its class. It derives from BaseException so that handlers written
// for the table errors (except ValueError) do not swallow a broken install.
PyObject* internal_error() {
    static ProcessCell<PyObject> cls;
    return cls.get([] {
        return Ref::check(PyErr_NewExceptionWithDoc("molvane.InternalError",
                                                    "An internal failure of molvane.native.",
                                                    PyExc_BaseException, nullptr));
    });
}

PyObject* fetch_ctable_class(CTableErrorClass which) {
    static constexpr std::array<const char*, 4> kNames = {
        "MalformedCTableError", "IndicesDuplicateError", "IndicesMismatchError",
        "IndicesOutOfOrderError"};
    // Only a successful fetch fills its cell, so a failed one is retried at
    // the next raise.
    static std::array<ProcessCell<PyObject>, 4> cells;
    const size_t index = static_cast<size_t>(which);
    return cells[index].get([&] {
        const char* name = kNames[index];
        Ref cls;
        Ref module = Ref::steal(PyImport_ImportModule("molvane.ctable"));
        if (module) cls = Ref::steal(PyObject_GetAttrString(module.get(), name));
        if (cls && !PyType_Check(cls.get())) {
            PyErr_Format(PyExc_TypeError, "molvane.ctable.%s is not a class", name);
            cls.reset();
        }
        if (!cls) {
            HeldError failure = HeldError::fetch_normalized();
            std::string message = std::string("failed to import exception molvane.ctable.") + name +
                                  ": " + describe(failure.value());
            raise(internal_error(), message);
        }
        return cls;
    });
}

// A table error as its exception: one of the molvane.ctable classes or
// NotImplementedError, with the message as the one argument.
[[noreturn]] void raise_table_error(const ctable::TableError& error) {
    const std::string& message = error.message();
    switch (error.exception_class()) {
        case ctable::ExceptionClass::MalformedCTable:
            raise_ctable_error(CTableErrorClass::MalformedCTable, message);
        case ctable::ExceptionClass::IndicesDuplicate:
            raise_ctable_error(CTableErrorClass::IndicesDuplicate, message);
        case ctable::ExceptionClass::IndicesMismatch:
            raise_ctable_error(CTableErrorClass::IndicesMismatch, message);
        case ctable::ExceptionClass::IndicesOutOfOrder:
            raise_ctable_error(CTableErrorClass::IndicesOutOfOrder, message);
        case ctable::ExceptionClass::NotImplemented: raise(PyExc_NotImplementedError, message);
    }
    raise(PyExc_SystemError, message);
}

}  // namespace

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const core::Error& error) {
        try {
            PyErr_SetString(class_for(error.kind()), error.message().c_str());
        } catch (...) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, error.message().c_str());
        }
    } catch (const ctable::TableError& error) {
        try {
            raise_table_error(error);
        } catch (...) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, error.what());
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in molvane.native");
    }
}

void raise(PyObject* type, std::string_view message) {
    Ref text = Ref::check(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyErr_SetObject(type, text.get());
    throw PythonError{};
}

void raise_wrong_type(const char* format, PyObject* object) {
    Ref type_name = Ref::check(PyType_GetName(Py_TYPE(object)));
    PyErr_Format(PyExc_TypeError, format, type_name.get());
    throw PythonError{};
}

PyObject* malformed_record_error() {
    static ProcessCell<PyObject> cls;
    return cls.get([] {
        return Ref::check(PyErr_NewExceptionWithDoc("molvane.MalformedRecordError",
                                                    "An SD data header line has no `<name>`.",
                                                    PyExc_ValueError, nullptr));
    });
}

void add_note_to_current_error(std::string_view note) noexcept {
    HeldError error = HeldError::fetch_normalized();
    if (PyObject* value = error.value()) {
        try {
            Ref text = Ref::check(
                PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
            Ref::check(
                PyObject_CallMethodObjArgs(value, names().add_note.get(), text.get(), nullptr));
        } catch (...) {
            // A note that cannot be added must not replace the error itself.
            PyErr_Clear();
        }
    }
    error.restore();
}

void raise_ctable_error(CTableErrorClass cls, std::string_view message) {
    raise(fetch_ctable_class(cls), message);
}

void raise_os_error(int error_number, PyObject* path_object) {
    Ref os = Ref::check(PyImport_ImportModule("os"));
    Ref message = Ref::check(PyObject_CallMethod(os.get(), "strerror", "i", error_number));
    Ref error = Ref::check(
        PyObject_CallFunction(PyExc_OSError, "iOO", error_number, message.get(), path_object));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw PythonError{};
}

void raise_if_failed(const core::IoOutcome& outcome, PyObject* path_object) {
    switch (outcome.status) {
        case core::IoOutcome::Status::Ok: return;
        case core::IoOutcome::Status::SystemError:
            raise_os_error(outcome.error_number, path_object);
        case core::IoOutcome::Status::Interrupted: raise_os_error(EINTR, path_object);
        case core::IoOutcome::Status::NulInPath:
            raise(PyExc_OSError, "file name contained an unexpected NUL byte");
        case core::IoOutcome::Status::WriteZero:
            raise(PyExc_OSError, "failed to write whole buffer");
    }
    raise(PyExc_SystemError, "unknown file call outcome");
}

}  // namespace molvane::py
