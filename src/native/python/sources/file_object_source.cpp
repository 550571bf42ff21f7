#include "python/sources/file_object_source.hpp"

#include <string>
#include <string_view>

#include "core/compression.hpp"
#include "python/held_error.hpp"
#include "python/sources/decompressed_source.hpp"
#include "python/text_arguments.hpp"

namespace molvane::py {

namespace {

// What errors call a file object: its `name` where that is a path (not a
// descriptor number), else "<stdin>", the one unnamed stream commonly read.
Ref stream_name(PyObject* file) {
    Ref name = Ref::steal(PyObject_GetAttrString(file, "name"));
    if (name && (PyUnicode_Check(name.get()) || PyBytes_Check(name.get()))) return name;
    PyErr_Clear();
    return Ref::check(PyUnicode_FromString("<stdin>"));
}

// What a text file object over compressed bytes gets: no rows of garbage,
// but this error. `compression` is what its first characters spell.
[[noreturn]] void raise_compressed_text(PyObject* file, core::Compression compression) {
    Ref name = stream_name(file);
    const std::string format(core::compression_name(compression));
    PyErr_Format(PyExc_ValueError,
                 "%S: holds %s-compressed data, which a text file object cannot decode; open it "
                 "in binary mode ('rb') or pass its path",
                 name.get(), format.c_str());
    throw PythonError{};
}

// A text file object whose first read failed to decode: when the bytes it
// could not decode are compressed, the error says so in a note.
void explain_undecodable(PyObject* file) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
    HeldError error = HeldError::fetch_normalized();
    Ref data = Ref::steal(PyObject_GetAttrString(error.value(), "object"));
    core::Compression compression = core::Compression::None;
    if (data && PyBytes_Check(data.get())) {
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(data.get(), &bytes, &size) == 0)
            compression = core::sniff_compression({bytes, static_cast<size_t>(size)});
    }
    PyErr_Clear();
    if (compression == core::Compression::None) {
        error.restore();
        return;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(file, "name"));
    Py_ssize_t length = 0;
    const char* shown = name && PyUnicode_Check(name.get())
                            ? PyUnicode_AsUTF8AndSize(name.get(), &length)
                            : nullptr;
    PyErr_Clear();
    error.restore();
    try {
        add_note_to_current_error(std::string(shown ? shown : "<stdin>") + " holds " +
                                  std::string(core::compression_name(compression)) +
                                  "-compressed data, which a text file object cannot decode; "
                                  "open it in binary mode ('rb') or pass its path");
    } catch (...) {
        // Without memory for the note, the error goes on as it came.
    }
}

}  // namespace

std::unique_ptr<ChunkSource> FileObjectSource::refill(ChunkInput& input) {
    Ref size = Ref::check(PyLong_FromSize_t(core::kReadUnit));
    Ref chunk = Ref::steal(PyObject_CallFunctionObjArgs(read_.get(), size.get(), nullptr));
    if (!chunk) {
        if (consumed_ == 0) explain_undecodable(file_.get());
        throw PythonError{};
    }
    if (chunk.get() == Py_None)
        raise(PyExc_BlockingIOError,
              "file object read returned None: it is non-blocking and has no data ready; read "
              "it in blocking mode");
    if (!PyUnicode_Check(chunk.get()) && !PyBytes_Check(chunk.get()))
        raise(PyExc_TypeError, "file objects must read str or bytes");
    std::string_view bytes = str_or_bytes_view(chunk.get());
    if (bytes.empty()) {
        input.splitter.finish_input();
        return nullptr;
    }
    input.set_kind(kind_of(chunk.get()), "file objects must not mix str and bytes reads");
    if (consumed_ == 0 && input.kind == core::TextKind::Bytes) {
        Ref name = stream_name(file_.get());
        if (std::unique_ptr<ChunkSource> decompressed =
                decompress_if_compressed(bytes, file_, name.get(), kUnknown))
            return decompressed;
    }
    if (consumed_ == 0 && input.kind == core::TextKind::Text) {
        const core::Compression compression = core::sniff_decoded_compression(bytes);
        if (compression != core::Compression::None) raise_compressed_text(file_.get(), compression);
    }
    consumed_ += bytes.size();
    // Offsets of a text file's characters are not its byte offsets.
    if (input.kind == core::TextKind::Text) input.offsets_exact = false;
    input.splitter.append(bytes.data(), bytes.size());
    return nullptr;
}

int FileObjectSource::traverse(visitproc visit, void* arg) const {
    Py_VISIT(read_.get());
    Py_VISIT(file_.get());
    return 0;
}

void FileObjectSource::close() noexcept {
    if (!read_ && !file_) return;
    // Dropping the caller's objects may run a finalizer: keep the error
    // being raised, if any, across it.
    HeldError pending = HeldError::fetch();
    read_.reset();
    file_.reset();
    pending.restore();
}

}  // namespace molvane::py
