#include "python/random_access.hpp"

#include <cerrno>

#include "python/errors.hpp"
#include "python/method_def.hpp"
#include "python/text_arguments.hpp"
#include "python/without_gil.hpp"

namespace molvane::py {

PathArgument path_argument(PyObject* source) {
    Ref path = Ref::check(PyOS_FSPath(source));
    Ref encoded;
    if (PyBytes_Check(path.get())) {
        std::string_view raw = str_or_bytes_view(path.get());
        Ref decoded = Ref::check(
            PyUnicode_DecodeFSDefaultAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size())));
        encoded = Ref::check(PyUnicode_EncodeFSDefault(decoded.get()));
    } else {
        encoded = Ref::check(PyUnicode_EncodeFSDefault(path.get()));
    }
    const bool is_str = PyUnicode_Check(path.get());
    return {std::string(str_or_bytes_view(encoded.get())), std::move(path), is_str};
}

void raise_compressed(PyObject* path_object, std::string_view compression) {
    PyErr_Format(PyExc_ValueError,
                 "random access needs an uncompressed file: decompress %R first (it is "
                 "%s-compressed)",
                 path_object, std::string(compression).c_str());
    throw PythonError{};
}

void raise_not_regular(PyObject* path_object) {
    PyErr_Format(PyExc_ValueError,
                 "random access needs a regular file: %R is a pipe, socket or device; save "
                 "its content to a file first",
                 path_object);
    throw PythonError{};
}

void raise_size_understated(PyObject* path_object) {
    PyErr_Format(PyExc_ValueError,
                 "random access needs a file that reports its size: %R reports 0 bytes but holds "
                 "data; read it through with parse_sdf or save its content to a file first",
                 path_object);
    throw PythonError{};
}

void raise_unmappable(PyObject* path_object) {
    PyErr_Format(PyExc_OSError,
                 "random access needs a file on a local file system: %R is on a network "
                 "or FUSE file system; copy it to a local disk first",
                 path_object);
    throw PythonError{};
}

void raise_file_shrank(PyObject* path_object) {
    raise_os_error(EIO,
                   "the file shrank while it was read (it was truncated or rewritten in place)",
                   path_object);
}

void open_retrying(core::RandomAccessFile& file, const PathArgument& path) {
    for (;;) {
        const std::string& bytes = path.bytes;
        const core::IoOutcome outcome = without_gil([&]() noexcept { return file.open(bytes); });
        if (outcome.status != core::IoOutcome::Status::Interrupted) {
            raise_if_failed(outcome, path.object.get());
            return;
        }
        check_signals();
    }
}

void raise_refusal(const core::RandomAccessFile& file, const PathArgument& path) {
    switch (file.refusal()) {
        case core::AccessRefusal::None: return;
        case core::AccessRefusal::NotRegular: raise_not_regular(path.object.get());
        case core::AccessRefusal::Compressed:
            raise_compressed(path.object.get(), core::compression_name(file.compression()));
        case core::AccessRefusal::Archive:
            PyErr_Format(PyExc_ValueError, "%R is a %s, not an SD file: extract it first",
                         path.object.get(), std::string(file.unread_format()).c_str());
            throw PythonError{};
        case core::AccessRefusal::SizeUnknown: raise_size_understated(path.object.get());
    }
}

void open_random_access(core::RandomAccessFile& file, const PathArgument& path) {
    open_retrying(file, path);
    raise_refusal(file, path);
}

namespace {

// What the readers make of a path, for callers that choose a road by it
// (the command line, Dask): the one classification, core's, as a word.
PyObject* source_kind(PyObject* module, PyObject* source) {
    return boundary(module, [&] {
        const PathArgument path = path_argument(source);
        core::RandomAccessFile file;
        open_retrying(file, path);
        const char* kind = "plain";
        switch (file.refusal()) {
            case core::AccessRefusal::None: break;
            case core::AccessRefusal::NotRegular: kind = "stream"; break;
            // No size yet data (/proc files): read through like a stream.
            case core::AccessRefusal::SizeUnknown: kind = "stream"; break;
            case core::AccessRefusal::Compressed: kind = "compressed"; break;
            case core::AccessRefusal::Archive: kind = "archive"; break;
        }
        return Ref::check(PyUnicode_FromString(kind)).release();
    });
}

PyMethodDef kSourceKindDef = {
    "_source_kind", source_kind, METH_O,
    "_source_kind($module, path, /)\n--\n\n"
    "What the readers make of the file at `path`: 'plain' (a regular, uncompressed\n"
    "file, read at any offset), 'compressed' (a regular file that is decompressed),\n"
    "'stream' (a pipe, socket or device, read through once) or 'archive' (refused).\n"
    "A FIFO is not waited for. OSError for a path that cannot be opened."};

}  // namespace

Ref source_kind_function(PyObject* module) {
    return module_function(module, kSourceKindDef);
}

}  // namespace molvane::py
