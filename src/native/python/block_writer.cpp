#include "python/block_writer.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "core/compression.hpp"
#include "core/input_ending.hpp"
#include "core/output_file.hpp"
#include "core/text_kind.hpp"
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
constexpr const char kLevelForPathsOnly[] =
    "compresslevel applies to paths ending in .gz, .bz2, .xz or .zst";
constexpr const char kBgzfForGzipPathsOnly[] = "bgzf=True applies to paths ending in .gz";

// The note's access text for the block about to be written.
std::string writing_access(uint64_t index) {
    return "Writing block " + std::to_string(index) + " (from 0),";
}

// Buffers the block's text, a str block's checked as UTF-8 first.
void add_checked_text(BlockObject& object, core::OutputBuffer& buffer, uint64_t index) {
    SharedUse use(object.guard);
    core::Block& block = object.block;
    const std::string_view text = block.view();
    if (!block.is_bytes && !block.utf8_checked) {
        const core::Utf8Check check = core::check_utf8(text);
        if (!check.valid(text))
            raise_block_decode_error(block, text, check.valid_up_to, check.error_end,
                                     writing_access(index));
        block.utf8_checked = true;
    }
    buffer.append(text);
}

// Empties the buffer when a flush ends, whether the chunk got out or not.
struct ClearOnExit {
    core::OutputBuffer& buffer;
    ~ClearOnExit() { buffer.clear(); }
};

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

// --- a file object -------------------------------------------------------------

class FileObjectSink final : public Sink {
  public:
    FileObjectSink(Ref write_method, bool encode_for_binary)
        : write_method_(std::move(write_method)), encode_for_binary_(encode_for_binary) {}

    size_t chunk_threshold() const noexcept override { return core::kFileObjectChunkThreshold; }

    void add(BlockObject& object, core::OutputBuffer& buffer, uint64_t index) override {
        const core::TextKind kind =
            object.block.is_bytes ? core::TextKind::Bytes : core::TextKind::Text;
        if (!core::fix_kind(chunk_kind_, kind)) raise(PyExc_TypeError, kMixedKinds);
        // Str blocks bound for bytes are checked as for a path, then buffered
        // as bytes.
        if (encode_for_binary_ && kind == core::TextKind::Text)
            return add_checked_text(object, buffer, index);
        // A buffered str chunk holds only ASCII, so that it never needs
        // decoding checks; a str block with other bytes is decoded and
        // written by itself.
        Ref own_chunk;
        {
            SharedUse use(object.guard);
            core::Block& block = object.block;
            const std::string_view text = block.view();
            if (block.is_bytes || core::is_ascii(text)) {
                buffer.append(text);
                return;
            }
            own_chunk = block_value(block, text, writing_access(index));
            block.utf8_checked = true;
        }
        if (!buffer.empty()) {
            ClearOnExit clear{buffer};
            write(buffer.view());
        }
        write_object(own_chunk.get());
    }

    void write(std::string_view text) override {
        const auto size = static_cast<Py_ssize_t>(text.size());
        Ref chunk = Ref::check(chunk_kind_ == core::TextKind::Bytes || encode_for_binary_
                                   ? PyBytes_FromStringAndSize(text.data(), size)
                                   : PyUnicode_DecodeUTF8(text.data(), size, "strict"));
        write_object(chunk.get());
    }

    void commit() override { write_method_.reset(); }
    void discard() noexcept override { write_method_.reset(); }
    PyObject* name() const noexcept override { return write_method_.get(); }
    PyObject* held_object() const noexcept override { return write_method_.get(); }

  private:
    // One `write` call for `chunk`, and more for the rest when the call
    // reports that it took only part of it.
    void write_object(PyObject* chunk) {
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
            // A file that reports taking nothing would be asked forever; one
            // that took part gets the rest, so that nothing is lost silently.
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

    Ref write_method_;
    // A binary file object given str blocks: they go out as UTF-8 bytes.
    bool encode_for_binary_;
    core::TextKind chunk_kind_ = core::TextKind::Undecided;
};

// --- a path --------------------------------------------------------------------

// The file behind both path sinks: opened by path (os.fspath, then the
// file-system encoding) and completed without holding the interpreter lock.
class PathTarget {
  public:
    explicit PathTarget(PyObject* dest) : path_(Ref::check(PyOS_FSPath(dest))) {
        encoded_ =
            PyBytes_Check(path_.get()) ? path_ : Ref::check(PyUnicode_EncodeFSDefault(path_.get()));
        const std::string name(str_or_bytes_view(encoded_.get()));
        // Opening a FIFO waits for a reader.
        until_done([&]() noexcept { return file_.open(name); });
    }

    void write(std::string_view chunk) {
        size_t written = 0;
        until_done([&]() noexcept { return file_.write_some(chunk, written); });
    }

    void commit() {
        raise_if_failed(without_gil([&]() noexcept { return file_.commit(); }), path_.get());
    }

    void discard() noexcept { file_.discard(); }
    bool is_atomic() const noexcept { return file_.is_atomic(); }
    void set_durable(bool durable) noexcept { file_.set_durable(durable); }
    int descriptor() const noexcept { return file_.descriptor(); }
    PyObject* path() const noexcept { return path_.get(); }
    // The path as the system sees it, for its suffix.
    std::string_view encoded() const { return str_or_bytes_view(encoded_.get()); }

  private:
    // Makes the file call `call` without the lock until it completes: a
    // signal that cut it short (Interrupted) runs the handlers first, which
    // may raise, then the call goes on where it stopped.
    template <class Call>
    void until_done(Call&& call) {
        for (;;) {
            const core::IoOutcome outcome = without_gil(call);
            raise_if_failed(outcome, path_.get());
            if (outcome.ok()) return;
        }
    }

    Ref path_;  // as os.fspath returned it, for error messages
    Ref encoded_;
    core::OutputFile file_;
};

class PathSink final : public Sink {
  public:
    explicit PathSink(std::unique_ptr<PathTarget> target) : target_(std::move(target)) {}

    size_t chunk_threshold() const noexcept override { return core::kPathChunkThreshold; }
    void write(std::string_view chunk) override { target_->write(chunk); }
    void commit() override { target_->commit(); }
    void discard() noexcept override { target_->discard(); }
    bool is_atomic() const noexcept override { return target_->is_atomic(); }
    PyObject* name() const noexcept override { return target_->path(); }
    void set_durable(bool durable) noexcept override { target_->set_durable(durable); }

  private:
    std::unique_ptr<PathTarget> target_;
};

// --- a compressed path ---------------------------------------------------------

// The compressor (molvane/_compression.py) writes into the target's
// descriptor without owning it, so the temporary and its rename stay ours.
class CompressedSink final : public Sink {
  public:
    CompressedSink(std::unique_ptr<PathTarget> target, core::Compression compression,
                   PyObject* level, bool bgzf)
        : target_(std::move(target)) {
        Ref module = Ref::check(PyImport_ImportModule("molvane._compression"));
        Ref opener = Ref::check(PyObject_GetAttrString(module.get(), "open_compressing_fd"));
        const std::string_view format =
            bgzf ? std::string_view("bgzf") : core::compression_name(compression);
        Ref format_object = Ref::check(
            PyUnicode_FromStringAndSize(format.data(), static_cast<Py_ssize_t>(format.size())));
        Ref descriptor = Ref::check(PyLong_FromLong(target_->descriptor()));
        Ref pair = Ref::check(PyObject_CallFunctionObjArgs(
            opener.get(), descriptor.get(), format_object.get(), level, target_->path(), nullptr));
        if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2)
            raise_internal("the compressor opener returns (write, finish)");
        write_ = Ref::borrow(PyTuple_GetItem(pair.get(), 0));
        finish_ = Ref::borrow(PyTuple_GetItem(pair.get(), 1));
    }

    size_t chunk_threshold() const noexcept override { return core::kPathChunkThreshold; }

    void write(std::string_view chunk) override {
        Ref view = Ref::check(PyMemoryView_FromMemory(
            const_cast<char*>(chunk.data()), static_cast<Py_ssize_t>(chunk.size()), PyBUF_READ));
        Ref result = Ref::steal(PyObject_CallFunctionObjArgs(write_.get(), view.get(), nullptr));
        {
            // The compressor has taken the bytes; the view must not outlive them.
            HeldError pending = HeldError::fetch();
            Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
            if (!released) PyErr_Clear();
            pending.restore();
        }
        if (!result) throw PythonError{};
    }

    // The end of the compressed stream goes out, and every write of the
    // compressor is checked, before the rename.
    void commit() override {
        Ref finish = std::move(finish_);
        write_.reset();
        Ref::check(PyObject_CallFunctionObjArgs(finish.get(), nullptr));
        target_->commit();
    }

    void discard() noexcept override {
        write_.reset();
        finish_.reset();
        target_->discard();
    }

    bool is_atomic() const noexcept override { return target_->is_atomic(); }
    PyObject* name() const noexcept override { return target_->path(); }
    void set_durable(bool durable) noexcept override { target_->set_durable(durable); }

  private:
    std::unique_ptr<PathTarget> target_;
    Ref write_;
    Ref finish_;
};

// The sink for `dest`. A path is opened first, so that an unusable path is
// reported before a bad level.
std::unique_ptr<Sink> open_sink(const ModuleState& state, PyObject* dest, PyObject* level,
                                bool bgzf) {
    if (Ref method = lookup_write_method(state, dest)) {
        if (level != Py_None) raise(PyExc_ValueError, kLevelForPathsOnly);
        if (bgzf) raise(PyExc_ValueError, kBgzfForGzipPathsOnly);
        const bool binary = is_binary_file_object(dest);
        return std::make_unique<FileObjectSink>(std::move(method), binary);
    }
    // A failure from here on destroys the target, which removes its temporary.
    auto target = std::make_unique<PathTarget>(dest);
    const core::Compression compression = core::compression_by_suffix(target->encoded());
    if (bgzf && compression != core::Compression::Gzip)
        raise(PyExc_ValueError, kBgzfForGzipPathsOnly);
    if (compression == core::Compression::None) {
        if (level != Py_None) raise(PyExc_ValueError, kLevelForPathsOnly);
        return std::make_unique<PathSink>(std::move(target));
    }
    return std::make_unique<CompressedSink>(std::move(target), compression, level, bgzf);
}

}  // namespace

void Sink::add(BlockObject& object, core::OutputBuffer& buffer, uint64_t index) {
    add_checked_text(object, buffer, index);
}

BlockWriter::BlockWriter(const ModuleState& state, PyObject* dest, PyObject* level, bool bgzf)
    : sink_(open_sink(state, dest, level, bgzf)), buffer_(sink_->chunk_threshold()) {}

void BlockWriter::add(BlockObject& object) {
    sink_->add(object, buffer_, blocks_written_);
    if (buffer_.reached_threshold()) flush();
    ++blocks_written_;
}

void BlockWriter::add_trailing(std::string_view text) {
    if (text.empty()) return;
    if (!core::is_blank_tail(text))
        raise(PyExc_ValueError, "only whitespace can follow the last block");
    buffer_.append(text);
}

void BlockWriter::flush() {
    ClearOnExit clear{buffer_};
    sink_->write(buffer_.view());
}

void BlockWriter::commit() {
    sink_->commit();
}

}  // namespace molvane::py
