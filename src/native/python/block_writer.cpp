#include "python/block_writer.hpp"

#include <string>
#include <string_view>

#include "core/utf8.hpp"
#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/without_gil.hpp"

namespace molvane::py {

namespace {

constexpr std::string_view kMixedKinds = "cannot write mixed str and bytes blocks to a file object";

// The note's access text for the block about to be written.
std::string writing_access(uint64_t index) {
    return "Writing block " + std::to_string(index) + " (from 0),";
}

// Opens the path named by `dest` (os.fspath, then the file-system encoding)
// without holding the interpreter lock. Returns the path object.
Ref open_path(PyObject* dest, core::OutputFile& file) {
    Ref path = Ref::check(PyOS_FSPath(dest));
    Ref encoded =
        PyBytes_Check(path.get()) ? path : Ref::check(PyUnicode_EncodeFSDefault(path.get()));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) throw PythonError{};
    const std::string name(data, static_cast<size_t>(size));
    // Opening a FIFO waits for a reader; a signal lets the handlers run.
    for (;;) {
        const core::IoOutcome outcome = without_gil([&]() noexcept { return file.open(name); });
        raise_if_failed(outcome, path.get());
        if (outcome.ok()) return path;
    }
}

// How much of a chunk of `length` units a `write` call took, judged by its
// return value: an int in [0, length) reports a partial write; None, the
// full length or anything else counts as the whole chunk.
Py_ssize_t units_taken(PyObject* result, Py_ssize_t length) {
    if (!PyLong_Check(result) || PyBool_Check(result)) return length;
    const Py_ssize_t taken = PyLong_AsSsize_t(result);
    if (taken == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return length;
    }
    // No file takes less than nothing: a negative count is a failure that
    // its writer reported the C way.
    if (taken < 0) raise(PyExc_OSError, "write returned a negative count");
    return taken < length ? taken : length;
}

// Empties the buffer when a flush ends, whether the chunk got out or not.
struct ClearOnExit {
    core::OutputBuffer& buffer;
    ~ClearOnExit() { buffer.clear(); }
};

// The bound `write` method of a file object, or null for anything else:
// whatever the lookup raises only means that `dest` is taken as a path.
Ref lookup_write_method(const ModuleState& state, PyObject* dest) {
    Ref method = Ref::steal(PyObject_GetAttr(dest, state.names.write.get()));
    if (!method) PyErr_Clear();
    return method;
}

}  // namespace

BlockWriter::BlockWriter(const ModuleState& state, PyObject* dest)
    : write_method_(lookup_write_method(state, dest)),
      path_(write_method_ ? Ref() : open_path(dest, file_)),
      buffer_(write_method_ ? core::kFileObjectChunkThreshold : core::kPathChunkThreshold) {}

void BlockWriter::add(BlockObject& object) {
    if (write_method_)
        add_to_file_object(object);
    else
        add_to_path(object);
}

void BlockWriter::add_to_path(BlockObject& object) {
    {
        SharedUse use(object.guard);
        core::Block& block = object.block;
        const std::string_view text = block.view();
        if (!block.is_bytes && !block.utf8_checked) {
            const core::Utf8Check check = core::check_utf8(text);
            if (!check.valid(text))
                raise_block_decode_error(block, text, check.valid_up_to, check.error_end,
                                         writing_access(blocks_written_));
            block.utf8_checked = true;
        }
        buffer_.append(text);
    }
    if (buffer_.reached_threshold()) flush();
    ++blocks_written_;
}

void BlockWriter::add_to_file_object(BlockObject& object) {
    const core::TextKind kind =
        object.block.is_bytes ? core::TextKind::Bytes : core::TextKind::Text;
    if (!core::fix_kind(chunk_kind_, kind)) raise(PyExc_TypeError, kMixedKinds);

    // A buffered str chunk holds only ASCII, so that it never needs decoding
    // checks; a str block with other bytes is decoded and written by itself.
    Ref own_chunk;
    {
        SharedUse use(object.guard);
        core::Block& block = object.block;
        const std::string_view text = block.view();
        if (block.is_bytes || core::is_ascii(text)) {
            buffer_.append(text);
        } else {
            own_chunk = block_value(block, text, writing_access(blocks_written_));
            block.utf8_checked = true;
        }
    }
    if (own_chunk) {
        if (has_buffered()) flush();
        write_file_object_chunk(own_chunk.get());
    } else if (buffer_.reached_threshold()) {
        flush();
    }
    ++blocks_written_;
}

void BlockWriter::flush() {
    ClearOnExit clear{buffer_};
    if (!write_method_) {
        write_path_chunk();
        return;
    }
    const std::string_view text = buffer_.view();
    const auto size = static_cast<Py_ssize_t>(text.size());
    Ref chunk = Ref::check(chunk_kind_ == core::TextKind::Bytes
                               ? PyBytes_FromStringAndSize(text.data(), size)
                               : PyUnicode_DecodeUTF8(text.data(), size, "strict"));
    write_file_object_chunk(chunk.get());
}

void BlockWriter::write_path_chunk() {
    const std::string_view chunk = buffer_.view();
    // A signal ends a write early; the handlers run before the rest goes out.
    for (size_t written = 0;;) {
        const core::IoOutcome outcome =
            without_gil([&]() noexcept { return file_.write_some(chunk, written); });
        raise_if_failed(outcome, path_.get());
        if (outcome.ok()) return;
    }
}

void BlockWriter::write_file_object_chunk(PyObject* chunk) {
    const bool is_bytes = PyBytes_Check(chunk);
    const Py_ssize_t length = is_bytes ? PyBytes_Size(chunk) : PyUnicode_GetLength(chunk);
    if (length < 0) throw PythonError{};
    Ref piece = Ref::borrow(chunk);
    Py_ssize_t done = 0;
    for (;;) {
        Ref result = Ref::check(PyObject_CallFunctionObjArgs(write_method_.get(), piece.get(),
                                                             static_cast<PyObject*>(nullptr)));
        const Py_ssize_t piece_length = length - done;
        const Py_ssize_t taken = units_taken(result.get(), piece_length);
        if (taken == piece_length) return;
        // A file that reports taking nothing would be asked forever; one that
        // took part gets the rest, so that nothing is lost silently.
        if (taken == 0) raise_if_failed({core::IoOutcome::Status::WriteZero, 0}, nullptr);
        done += taken;
        if (is_bytes) {
            const char* data = PyBytes_AsString(chunk);
            if (!data) throw PythonError{};
            piece = Ref::check(PyBytes_FromStringAndSize(data + done, length - done));
        } else {
            piece = Ref::check(PyUnicode_Substring(chunk, done, length));
        }
    }
}

void BlockWriter::commit() {
    write_method_.reset();
    raise_if_failed(file_.commit(), path_.get());
}

void BlockWriter::close_sink() noexcept {
    file_.discard();
    write_method_.reset();
}

}  // namespace molvane::py
