#include "python/sources/decompressed_source.hpp"

#include "python/held_error.hpp"

namespace molvane::py {

namespace {

// Bytes asked of a stream per read: a stream that reads ahead hands out
// chunks of half a megabyte, taken whole by one call into Python.
constexpr size_t kStreamRead = 4 * core::kReadUnit;

// The source of a stream the reader has just opened: it is closed with the
// reader, or at once when it has no readinto.
std::unique_ptr<ChunkSource> opened_stream_source(Ref stream, uint64_t size, bool ranged) {
    auto source = std::make_unique<DecompressedSource>(std::move(stream), Ref{}, size, ranged);
    DecompressedSource& opened = *source;
    opened.bind_readinto();
    return source;
}

}  // namespace

void DecompressedSource::bind_readinto() {
    readinto_ = Ref::check(PyObject_GetAttrString(stream_.get(), "readinto"));
}

std::unique_ptr<ChunkSource> DecompressedSource::refill(ChunkInput& input) {
    input.offsets_exact = false;  // offsets in the decompressed text are not the file's
    char* space = input.read_space(kStreamRead);
    Ref view = Ref::check(
        PyMemoryView_FromMemory(space, static_cast<Py_ssize_t>(kStreamRead), PyBUF_WRITE));
    Ref count = Ref::steal(PyObject_CallFunctionObjArgs(readinto_.get(), view.get(), nullptr));
    {
        // The view must not outlive this call, whatever readinto did with it.
        HeldError pending = HeldError::fetch();
        Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
        if (!released) PyErr_Clear();
        pending.restore();
    }
    if (!count) throw PythonError{};
    const size_t got = PyLong_AsSize_t(count.get());
    throw_if_error();
    check_invariant(got <= kStreamRead, "a decompressed read larger than its buffer");
    Ref position = Ref::check(PyObject_GetAttrString(stream_.get(), "position"));
    consumed_ = PyLong_AsUnsignedLongLong(position.get());
    throw_if_error();
    if (got == 0) {
        // A range of a BGZF file ends where its stream stopped reading.
        if (ranged_) range_end_ = consumed_;
        input.splitter.finish_input();
        return nullptr;
    }
    // The GIL is let go here even when there is nothing to translate: the
    // thread decompressing ahead needs it between its steps, and this loop
    // would otherwise hold it until the blocks read ahead run out.
    input.commit_read(space, got, true);
    return nullptr;
}

int DecompressedSource::traverse(visitproc visit, void* arg) const {
    Py_VISIT(readinto_.get());
    Py_VISIT(stream_.get());
    return 0;
}

void DecompressedSource::close() noexcept {
    if (!stream_ && !readinto_) return;
    Ref readinto = std::move(readinto_);
    Ref stream = std::move(stream_);
    // Closing a decompressing stream stops its thread; keep the error being
    // raised, if any, across it.
    HeldError pending = HeldError::fetch();
    readinto.reset();
    if (stream) {
        Ref closed = Ref::steal(PyObject_CallMethod(stream.get(), "close", nullptr));
        if (!closed) PyErr_Clear();  // nothing is left to report it to
    }
    stream.reset();
    pending.restore();
}

std::unique_ptr<ChunkSource> stream_source(Ref stream) {
    Ref readinto = Ref::check(PyObject_GetAttrString(stream.get(), "readinto"));
    return std::make_unique<DecompressedSource>(std::move(stream), std::move(readinto),
                                                ChunkSource::kUnknown, false);
}

std::unique_ptr<ChunkSource> decompressing_source(Ref raw, core::Compression compression,
                                                  std::string_view head, PyObject* name,
                                                  uint64_t size) {
    // A descriptor passed to the stream is its own from the call on, even
    // when the call fails: it closes it.
    Ref module = Ref::check(PyImport_ImportModule("molvane._compression"));
    Ref opener = Ref::check(PyObject_GetAttrString(module.get(), "open_decompressing"));
    const std::string_view format = core::compression_name(compression);
    Ref format_object = Ref::check(
        PyUnicode_FromStringAndSize(format.data(), static_cast<Py_ssize_t>(format.size())));
    Ref head_object =
        Ref::check(PyBytes_FromStringAndSize(head.data(), static_cast<Py_ssize_t>(head.size())));
    Ref stream = Ref::check(PyObject_CallFunctionObjArgs(
        opener.get(), raw.get(), format_object.get(), name, head_object.get(), nullptr));
    return opened_stream_source(std::move(stream), size, false);
}

std::unique_ptr<ChunkSource> decompress_if_compressed(std::string_view head, Ref raw,
                                                      PyObject* name, uint64_t size) {
    const core::Compression compression = core::sniff_compression(head);
    if (compression == core::Compression::None) return nullptr;
    return decompressing_source(std::move(raw), compression, head, name, size);
}

std::unique_ptr<ChunkSource> compressed_range_source(PyObject* path, uint64_t start, uint64_t stop,
                                                     bool text, uint64_t size) {
    Ref module = Ref::check(PyImport_ImportModule("molvane._gzaccess"));
    Ref opener = Ref::check(PyObject_GetAttrString(module.get(), "open_range"));
    Ref stream = Ref::check(
        PyObject_CallFunction(opener.get(), "OKKO", path, static_cast<unsigned long long>(start),
                              static_cast<unsigned long long>(stop), text ? Py_True : Py_False));
    return opened_stream_source(std::move(stream), size, true);
}

}  // namespace molvane::py
