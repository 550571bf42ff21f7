#include "python/block_writer.hpp"

#include <string>
#include <string_view>

#include "core/compression.hpp"
#include "core/utf8.hpp"
#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/held_error.hpp"
#include "python/text_arguments.hpp"
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

// Whether a file object takes bytes: an instance of io's binary bases, or
// one whose `mode` says "b". Unknown objects count as text, as before.
bool is_binary_file_object(PyObject* dest) {
    Ref io = Ref::check(PyImport_ImportModule("io"));
    for (const char* base : {"RawIOBase", "BufferedIOBase"}) {
        Ref cls = Ref::check(PyObject_GetAttrString(io.get(), base));
        const int is = PyObject_IsInstance(dest, cls.get());
        if (is < 0) throw PythonError{};
        if (is) return true;
    }
    Ref text_base = Ref::check(PyObject_GetAttrString(io.get(), "TextIOBase"));
    const int is_text = PyObject_IsInstance(dest, text_base.get());
    if (is_text < 0) throw PythonError{};
    if (is_text) return false;
    Ref mode = Ref::steal(PyObject_GetAttrString(dest, "mode"));
    if (!mode || !PyUnicode_Check(mode.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_FindChar(mode.get(), 'b', 0, PyUnicode_GetLength(mode.get()), 1) >= 0;
}

// The bound `write` method of a file object, or null for anything else:
// whatever the lookup raises only means that `dest` is taken as a path.
Ref lookup_write_method(const ModuleState& state, PyObject* dest) {
    Ref method = Ref::steal(PyObject_GetAttr(dest, state.names.write.get()));
    if (!method) PyErr_Clear();
    return method;
}

}  // namespace

BlockWriter::BlockWriter(const ModuleState& state, PyObject* dest, PyObject* level)
    : write_method_(lookup_write_method(state, dest)),
      path_(write_method_ ? Ref() : open_path(dest, file_)),
      buffer_(write_method_ ? core::kFileObjectChunkThreshold : core::kPathChunkThreshold) {
    if (write_method_) {
        if (level != Py_None) {
            close_sink();
            raise(PyExc_ValueError,
                  "compresslevel applies to paths ending in .gz, .bz2, .xz or .zst");
        }
        encode_for_binary_ = is_binary_file_object(dest);
        return;
    }
    try {
        start_compressing(level);
    } catch (...) {
        close_sink();
        throw;
    }
}

void BlockWriter::start_compressing(PyObject* level) {
    Ref encoded =
        PyBytes_Check(path_.get()) ? path_ : Ref::check(PyUnicode_EncodeFSDefault(path_.get()));
    const core::Compression compression =
        core::compression_by_suffix(str_or_bytes_view(encoded.get()));
    if (compression == core::Compression::None) {
        if (level != Py_None)
            raise(PyExc_ValueError,
                  "compresslevel applies to paths ending in .gz, .bz2, .xz or .zst");
        return;
    }
    // The compressor (molvane/_compression.py) writes into our descriptor
    // without owning it, so the temporary and its rename stay ours.
    Ref module = Ref::check(PyImport_ImportModule("molvane._compression"));
    Ref opener = Ref::check(PyObject_GetAttrString(module.get(), "open_compressing_fd"));
    const std::string_view name = core::compression_name(compression);
    Ref name_object =
        Ref::check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    Ref descriptor = Ref::check(PyLong_FromLong(file_.descriptor()));
    Ref pair = Ref::check(PyObject_CallFunctionObjArgs(opener.get(), descriptor.get(),
                                                       name_object.get(), level, nullptr));
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2)
        raise_internal("the compressor opener returns (write, finish)");
    compress_write_ = Ref::borrow(PyTuple_GetItem(pair.get(), 0));
    compress_finish_ = Ref::borrow(PyTuple_GetItem(pair.get(), 1));
}

void BlockWriter::add(BlockObject& object) {
    if (write_method_)
        add_to_file_object(object);
    else
        add_to_path(object);
}

void BlockWriter::add_checked_text(BlockObject& object) {
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

void BlockWriter::add_to_path(BlockObject& object) {
    add_checked_text(object);
    if (buffer_.reached_threshold()) flush();
    ++blocks_written_;
}

void BlockWriter::add_to_file_object(BlockObject& object) {
    const core::TextKind kind =
        object.block.is_bytes ? core::TextKind::Bytes : core::TextKind::Text;
    if (!core::fix_kind(chunk_kind_, kind)) raise(PyExc_TypeError, kMixedKinds);
    if (encode_for_binary_ && kind == core::TextKind::Text) {
        // Bound for bytes: checked as for a path, then buffered as bytes.
        add_checked_text(object);
        if (buffer_.reached_threshold()) flush();
        ++blocks_written_;
        return;
    }

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
    Ref chunk = Ref::check(chunk_kind_ == core::TextKind::Bytes || encode_for_binary_
                               ? PyBytes_FromStringAndSize(text.data(), size)
                               : PyUnicode_DecodeUTF8(text.data(), size, "strict"));
    write_file_object_chunk(chunk.get());
}

void BlockWriter::write_compressed_chunk() {
    const std::string_view chunk = buffer_.view();
    Ref view = Ref::check(PyMemoryView_FromMemory(
        const_cast<char*>(chunk.data()), static_cast<Py_ssize_t>(chunk.size()), PyBUF_READ));
    Ref result =
        Ref::steal(PyObject_CallFunctionObjArgs(compress_write_.get(), view.get(), nullptr));
    {
        // The compressor has taken the bytes; the view must not outlive them.
        HeldError pending = HeldError::fetch();
        Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
        if (!released) PyErr_Clear();
        pending.restore();
    }
    if (!result) throw PythonError{};
}

void BlockWriter::write_path_chunk() {
    if (compress_write_) return write_compressed_chunk();
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
    if (compress_finish_) {
        // The end of the compressed stream goes out before the rename.
        Ref finish = std::move(compress_finish_);
        compress_write_.reset();
        Ref::check(PyObject_CallFunctionObjArgs(finish.get(), nullptr));
    }
    raise_if_failed(file_.commit(), path_.get());
}

void BlockWriter::close_sink() noexcept {
    compress_write_.reset();
    compress_finish_.reset();
    file_.discard();
    write_method_.reset();
}

}  // namespace molvane::py
