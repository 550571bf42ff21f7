#include "python/errors.hpp"

#include <array>
#include <cerrno>
#include <new>
#include <string>

#include "core/compression.hpp"
#include "core/error.hpp"
#include "python/held_error.hpp"
#include "python/module_state.hpp"

namespace molvane::py {

namespace {

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

// The connection-table classes that molvane.ctable defines, by their index
// in kCTableClassNames.
constexpr std::array<const char*, 4> kCTableClassNames = {
    "MalformedCTableError", "IndicesDuplicateError", "IndicesMismatchError",
    "IndicesOutOfOrderError"};

PyObject* fetch_ctable_class(ModuleState& state, size_t index) {
    // Only a successful fetch fills its cell, so a failed one is retried at
    // the next raise.
    return state.ctable_classes[index].get([&] {
        const char* name = kCTableClassNames[index];
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
            raise(state.internal_error.get(), message);
        }
        return cls;
    });
}

// The class of a kind that is the module's own or fetched into its state.
PyObject* module_class(ModuleState* state, core::ErrorKind kind) {
    if (!state) return PyExc_SystemError;  // no module to take it from
    switch (kind) {
        case core::ErrorKind::MalformedRecord: return state->malformed_record_error.get();
        case core::ErrorKind::MalformedTable: return fetch_ctable_class(*state, 0);
        case core::ErrorKind::DuplicateIndex: return fetch_ctable_class(*state, 1);
        case core::ErrorKind::CountMismatch: return fetch_ctable_class(*state, 2);
        case core::ErrorKind::IndexOutOfOrder: return fetch_ctable_class(*state, 3);
        default: return PyExc_SystemError;
    }
}

// The exception class of each kind of core error.
PyObject* class_for(core::ErrorKind kind, PyObject* owner) {
    switch (kind) {
        case core::ErrorKind::InvalidText: return PyExc_ValueError;
        case core::ErrorKind::Exported: return PyExc_BufferError;
        case core::ErrorKind::UnsupportedTable: return PyExc_NotImplementedError;
        case core::ErrorKind::InvalidUtf8: return PyExc_UnicodeDecodeError;
        case core::ErrorKind::Internal: return PyExc_SystemError;
        case core::ErrorKind::MalformedRecord:
        case core::ErrorKind::MalformedTable:
        case core::ErrorKind::DuplicateIndex:
        case core::ErrorKind::CountMismatch:
        case core::ErrorKind::IndexOutOfOrder: return module_class(find_state(owner), kind);
    }
    return PyExc_SystemError;
}

// A core error as its exception, with the message as the one argument.
[[noreturn]] void raise_core_error(const core::Error& error, PyObject* owner) {
    if (const auto* decode = dynamic_cast<const core::DecodeError*>(&error))
        raise_utf8_decode_error(decode->bytes(), decode->start(), decode->end());
    raise(class_for(error.kind(), owner), error.message());
}

}  // namespace

void set_error_from_current_exception(PyObject* owner) noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const core::Error& error) {
        try {
            raise_core_error(error, owner);
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

Ref new_malformed_record_error() {
    return Ref::check(PyErr_NewExceptionWithDoc("molvane.MalformedRecordError",
                                                "An SD data header line has no `<name>`.",
                                                PyExc_ValueError, nullptr));
}

// Raised in place of a connection-table error when molvane.ctable cannot
// supply its class. It derives from BaseException so that handlers written
// for the table errors (except ValueError) do not swallow a broken install.
Ref new_internal_error() {
    return Ref::check(PyErr_NewExceptionWithDoc("molvane.InternalError",
                                                "An internal failure of molvane.native.",
                                                PyExc_BaseException, nullptr));
}

void add_note_to_current_error(std::string_view note) noexcept {
    HeldError error = HeldError::fetch_normalized();
    if (PyObject* value = error.value()) {
        try {
            Ref text = Ref::check(
                PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
            Ref::check(PyObject_CallMethod(value, "add_note", "O", text.get()));
        } catch (...) {
            // A note that cannot be added must not replace the error itself.
            PyErr_Clear();
        }
    }
    error.restore();
}

void raise_utf8_decode_error(std::string_view bytes, size_t start, size_t end) {
    Ref error = Ref::check(PyUnicodeDecodeError_Create(
        "utf-8", bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
        static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end), "invalid utf-8"));
    PyErr_SetObject(PyExc_UnicodeDecodeError, error.get());
    throw PythonError{};
}

void raise_internal(const char* what) {
    raise(PyExc_SystemError, std::string("internal error: ") + what);
}

namespace {

[[noreturn]] void raise_os_error_object(int error_number, PyObject* message,
                                        PyObject* path_object) {
    Ref error =
        Ref::check(PyObject_CallFunction(PyExc_OSError, "iOO", error_number, message, path_object));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw PythonError{};
}

}  // namespace

void raise_os_error(int error_number, PyObject* path_object) {
    Ref os = Ref::check(PyImport_ImportModule("os"));
    Ref message = Ref::check(PyObject_CallMethod(os.get(), "strerror", "i", error_number));
    raise_os_error_object(error_number, message.get(), path_object);
}

void raise_os_error(int error_number, std::string_view message, PyObject* path_object) {
    Ref text = Ref::check(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    raise_os_error_object(error_number, text.get(), path_object);
}

void raise_if_failed(const core::IoOutcome& outcome, PyObject* path_object) {
    switch (outcome.status) {
        case core::IoOutcome::Status::Ok: return;
        case core::IoOutcome::Status::Errno: raise_os_error(outcome.error_number, path_object);
        // The handlers run; unless they raise, the caller makes the call again.
        case core::IoOutcome::Status::Interrupted: check_signals(); return;
        case core::IoOutcome::Status::NulInPath:
            raise(PyExc_OSError, "file name contained an unexpected NUL byte");
        case core::IoOutcome::Status::WriteZero:
            raise(PyExc_OSError, "failed to write whole buffer");
        case core::IoOutcome::Status::NoTemporary: {
            Ref os = Ref::check(PyImport_ImportModule("os"));
            Ref reason =
                Ref::check(PyObject_CallMethod(os.get(), "strerror", "i", outcome.error_number));
            Ref message = Ref::check(PyUnicode_FromFormat(
                "%U: no temporary file can be made in its directory, so the file is left as it "
                "was",
                reason.get()));
            raise_os_error_object(outcome.error_number, message.get(), path_object);
        }
    }
    raise(PyExc_SystemError, "unknown file call outcome");
}

namespace {

// What a mapped file was doing when it turned out shorter than its mapping.
const char* shrank_message(core::FileFault::Step step) {
    switch (step) {
        case core::FileFault::Step::Read:
            return "the file shrank while it was read (it was truncated or rewritten in place)";
        case core::FileFault::Step::Index: return "the file shrank while it was indexed";
        case core::FileFault::Step::Cut: return "the file shrank while it was cut";
    }
    return "the file shrank";
}

// PyErr_Format with `path_object`'s repr for the one %R of `format`.
[[noreturn]] void raise_on(PyObject* type, const char* format, PyObject* path_object) {
    PyErr_Format(type, format, path_object);
    throw PythonError{};
}

}  // namespace

void raise_file_fault(PyObject* path_object, const core::FileFault& fault) {
    using Kind = core::FileFault::Kind;
    switch (fault.kind) {
        case Kind::None: return;
        case Kind::Io:
            raise_if_failed(fault.io, path_object);
            if (fault.io.status == core::IoOutcome::Status::Interrupted) return;
            break;
        case Kind::NotRegular:
            raise_on(PyExc_ValueError,
                     "random access needs a regular file: %R is a pipe, socket or device; save "
                     "its content to a file first",
                     path_object);
        case Kind::Compressed:
            PyErr_Format(PyExc_ValueError,
                         "random access needs an uncompressed file: decompress %R first (it is "
                         "%s-compressed)",
                         path_object,
                         std::string(core::compression_name(fault.compression)).c_str());
            throw PythonError{};
        case Kind::Archive:
            PyErr_Format(PyExc_ValueError, "%R is a %s, not an SD file: extract it first",
                         path_object, std::string(fault.format).c_str());
            throw PythonError{};
        case Kind::SizeUnknown:
            raise_on(PyExc_ValueError,
                     "random access needs a file that reports its size: %R reports 0 bytes but "
                     "holds data; read it through with parse_sdf or save its content to a file "
                     "first",
                     path_object);
        case Kind::Unmappable:
            raise_on(PyExc_OSError,
                     "random access needs a file on a local file system: %R is on a network "
                     "or FUSE file system; copy it to a local disk first",
                     path_object);
        case Kind::Changed:
            raise_on(PyExc_OSError,
                     "%R changed since it was indexed (its size or modification time differs): "
                     "make a new SDFile of it",
                     path_object);
        case Kind::Shrank: raise_os_error(EIO, shrank_message(fault.step), path_object);
        case Kind::Misfit:
            raise(PyExc_ValueError,
                  "the index given does not fit the file: text follows its last block");
        case Kind::NotAnIndex:
            raise_on(PyExc_ValueError, "%R is not a saved SDFile index", path_object);
        case Kind::IndexVersion:
            raise_on(PyExc_ValueError,
                     "%R is an SDFile index of another format version: index the file again",
                     path_object);
        case Kind::IndexDamaged:
            raise_on(PyExc_ValueError, "%R is a damaged SDFile index", path_object);
        case Kind::NotBgzf: {
            if (fault.offset == 0) raise_on(PyExc_ValueError, "%R is not a BGZF file", path_object);
            const std::string message = "the bytes at " + std::to_string(fault.offset) +
                                        " are not a BGZF member: the file is damaged";
            raise_os_error(EIO, message, path_object);
        }
        case Kind::Cut:
            PyErr_Format(PyExc_EOFError,
                         "%R: the BGZF member at byte %llu is cut short: the file is truncated",
                         path_object, static_cast<unsigned long long>(fault.offset));
            throw PythonError{};
    }
    raise_internal("a file fault without its exception");
}

void raise_file_shrank(PyObject* path_object) {
    raise_file_fault(path_object, core::FileFault::shrank(core::FileFault::Step::Read));
    raise_internal("a shrunk file raised nothing");
}

}  // namespace molvane::py
