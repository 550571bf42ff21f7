#include "python/random_access.hpp"

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

void open_random_access(core::RandomAccessFile& file, const PathArgument& path) {
    open_retrying(file, path);
    raise_file_fault(path.object.get(), file.refusal());
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
        switch (file.refusal().kind) {
            case core::FileFault::Kind::NotRegular: kind = "stream"; break;
            // No size yet data (/proc files): read through like a stream.
            case core::FileFault::Kind::SizeUnknown: kind = "stream"; break;
            case core::FileFault::Kind::Compressed: kind = "compressed"; break;
            case core::FileFault::Kind::Archive: kind = "archive"; break;
            default: break;  // no refusal: a file read at any offset
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
