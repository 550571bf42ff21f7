#include "python/read.hpp"

#include <algorithm>
#include <string_view>

#include "core/compression.hpp"
#include "core/input_ending.hpp"
#include "python/arguments.hpp"
#include "python/block.hpp"
#include "python/block_iterator.hpp"
#include "python/block_members.hpp"
#include "python/errors.hpp"
#include "python/method_def.hpp"
#include "python/random_access.hpp"
#include "python/sources/buffer_source.hpp"
#include "python/sources/decompressed_source.hpp"
#include "python/sources/file_object_source.hpp"
#include "python/sources/file_source.hpp"
#include "python/sources/lines_source.hpp"
#include "python/text_arguments.hpp"
#include "python/url_argument.hpp"
#include "python/without_gil.hpp"

namespace molvane::py {

namespace {

// Blocks from this size on are handed their read buffer instead of a copy.
constexpr size_t kHandOverSize = 4u << 20;

}  // namespace

// --- sources -----------------------------------------------------------------

void Reader::start_chunks(std::unique_ptr<ChunkSource> source) noexcept {
    chunks_ = std::move(source);
    state_ = State::Chunks;
}

void Reader::start_lines(Ref iterator) {
    input_.offsets_exact = false;  // items may get line endings added
    start_chunks(std::make_unique<LinesSource>(std::move(iterator)));
}

void Reader::start_file_object(Ref file, Ref read_method) {
    start_chunks(std::make_unique<FileObjectSource>(std::move(file), std::move(read_method)));
}

void Reader::start_buffer(Ref text) {
    input_.kind = kind_of(text.get());
    input_.offsets_exact = input_.kind == core::TextKind::Bytes;
    start_chunks(std::make_unique<BufferSource>(std::move(text)));
}

void Reader::start_path(std::string path_bytes, Ref path_object, bool borrow) {
    input_.kind = kind_of(path_object.get());
    utf8_known_ = false;  // a str path's bytes are checked only when decoded
    path_.bytes = std::move(path_bytes);
    path_.object = std::move(path_object);
    path_.borrow = borrow;
    state_ = State::Path;
}

void Reader::start_stream(Ref stream, bool is_str) {
    input_.kind = is_str ? core::TextKind::Text : core::TextKind::Bytes;
    utf8_known_ = false;  // as for a str path: checked when decoded
    input_.offsets_exact = false;
    start_chunks(stream_source(std::move(stream)));
}

void Reader::restrict_range(uint64_t start, uint64_t stop) noexcept {
    path_.ranged = true;
    path_.start = start;
    path_.stop = stop;
}

void Reader::close() noexcept {
    if (chunks_) {
        // A source read to its end has been consumed whole.
        position_ = reached_end_ ? chunks_->end_position() : chunks_->position();
        size_ = chunks_->size();
        chunks_->close();
        chunks_.reset();
    }
    if (mapped_) {
        // A file read to its end has been consumed whole; a range, up to the
        // end of its last block.
        position_ = !reached_end_ ? mapped_->position() : path_.ranged ? range_end_ : size_;
        mapped_.reset();
    }
    state_ = State::Closed;
    path_.object.reset();
    path_.bytes.clear();
    input_.reset();
}

int Reader::traverse(visitproc visit, void* arg) const {
    Py_VISIT(block_type_.get());
    Py_VISIT(last_block_.get());
    if (chunks_) return chunks_->traverse(visit, arg);
    return 0;
}

Ref Reader::position() const {
    uint64_t position = position_;
    if (chunks_) position = chunks_->position();
    if (mapped_) position = mapped_->position();
    if (position == ChunkSource::kUnknown) return Ref::borrow(Py_None);
    return Ref::check(PyLong_FromUnsignedLongLong(position));
}

Ref Reader::size() const {
    uint64_t size = size_;
    if (state_ == State::Path) size = core::InputFile::regular_file_size(path_.bytes);
    if (chunks_) size = chunks_->size();
    if (size == core::InputFile::kUnknownSize) return Ref::borrow(Py_None);
    return Ref::check(PyLong_FromUnsignedLongLong(size));
}

// --- next() ------------------------------------------------------------------

Ref Reader::next_block() {
    try {
        // A loop over a whole file in C (list(), write_sdf) runs no bytecode
        // in between, so Ctrl-C is noticed here or not at all.
        check_signals();
        return produce();
    } catch (...) {
        close();
        throw;
    }
}

Ref Reader::produce() {
    if (state_ == State::Path) open_path();
    if (state_ == State::Mapped) return next_mapped();
    for (;;) {
        core::Block block;
        switch (split_next(block)) {
            case core::ChunkSplitter::Status::Block:
                if (held_as_trailing(block)) break;
                return make_block(std::move(block));
            case core::ChunkSplitter::Status::End:
                reached_end_ = true;
                close();
                return {};
            case core::ChunkSplitter::Status::NeedInput:
                check_signals();
                refill();
                break;
        }
    }
}

core::ChunkSplitter::Status Reader::split_next(core::Block& block) {
    core::ChunkSplitter::Block piece;
    core::ChunkSplitter& splitter = input_.splitter;
    const core::ChunkSplitter::Status status = splitter.next(piece);
    if (status != core::ChunkSplitter::Status::Block) return status;
    // Str input that needs translating was translated as it came in.
    const bool is_bytes = input_.kind == core::TextKind::Bytes;
    const std::string_view range(piece.data, piece.size);
    if (piece.size >= kHandOverSize) {
        // A large block keeps the buffer it was read into rather than a copy.
        const bool blank = piece.dollar == core::npos && core::is_blank_tail(range);
        const core::BlockCompletion done = core::complete_block(range, piece.dollar);
        std::shared_ptr<const char> bytes = splitter.take_block(piece, done.keep, done.appended());
        block = core::shared_block(std::move(bytes), 0, done, is_bytes);
        if (blank) block.trailing_whitespace = piece.size;
    } else {
        block = core::build_block(range, is_bytes, core::npos, piece.dollar, true);
    }
    if (input_.offsets_exact) block.origin.offset = stream_offset_;
    stream_offset_ += piece.size;
    finish_block(block);
    return status;
}

void Reader::finish_block(core::Block& block) noexcept {
    block.is_bytes = input_.kind == core::TextKind::Bytes;
    block.utf8_checked = utf8_known_;
    block.origin.number = blocks_made_++;
}

Ref Reader::make_block(core::Block&& block) {
    check_invariant(input_.kind != core::TextKind::Undecided, "a block of unknown kind");
    Ref object = new_block_object(block_type_.get(), std::move(block));
    if (hold_trailing_) last_block_ = object;
    return object;
}

bool Reader::held_as_trailing(const core::Block& block) {
    if (!hold_trailing_ || block.trailing_whitespace == 0) return false;
    trailing_.assign(block.view().substr(0, block.trailing_whitespace));
    has_trailing_ = true;
    return true;
}

Ref Reader::trailing_after(PyObject* block) const {
    // None stands for "no block" and matches an input of only whitespace.
    PyObject* last = last_block_ ? last_block_.get() : Py_None;
    if (!has_trailing_ || !reached_end_ || block != last) return Ref::borrow(Py_None);
    if (input_.kind == core::TextKind::Bytes)
        return Ref::check(
            PyBytes_FromStringAndSize(trailing_.data(), static_cast<Py_ssize_t>(trailing_.size())));
    return Ref::check(
        PyUnicode_DecodeUTF8(trailing_.data(), static_cast<Py_ssize_t>(trailing_.size()), nullptr));
}

void Reader::end_mapped() {
    reached_end_ = true;
    range_end_ = mapped_->position();
    close();
}

void Reader::read_mapped_batch() {
    core::MappedReader& mapped = *mapped_;
    bool intact = true;
    without_gil([&] { intact = mapped.read_batch(); });
    if (!intact) raise_file_shrank(path_.object.get());
}

Ref Reader::next_mapped() {
    core::Block block;
    do {
        if (!mapped_->has_block()) {
            if (mapped_->exhausted()) {
                end_mapped();
                return {};
            }
            read_mapped_batch();
        }
        block = mapped_->take();
    } while (held_as_trailing(block));
    finish_block(block);
    return make_block(std::move(block));
}

uint64_t Reader::pull(BlockSink& sink, core::Block& current, uint64_t limit, uint64_t byte_limit) {
    uint64_t taken = 0;
    uint64_t taken_bytes = 0;
    const auto wants_more = [&] { return taken < limit && taken_bytes < byte_limit; };
    try {
        check_signals();
        if (state_ == State::Path) open_path();
        while (wants_more() && state_ != State::Closed) {
            if (state_ == State::Mapped) {
                core::MappedReader& mapped = *mapped_;
                if (!mapped.has_block()) {
                    if (mapped.exhausted()) {
                        end_mapped();
                        break;
                    }
                    read_mapped_batch();
                }
                without_gil([&] {
                    while (wants_more() && mapped.has_block()) {
                        current = mapped.take();
                        finish_block(current);
                        ++taken;
                        taken_bytes += current.view().size();
                        sink.take(current);
                    }
                });
            } else {
                // Split and hand over without the lock until the input runs
                // out: a thread decompressing ahead needs the lock meanwhile.
                auto status = core::ChunkSplitter::Status::Block;
                without_gil([&] {
                    while (wants_more()) {
                        status = split_next(current);
                        if (status != core::ChunkSplitter::Status::Block) return;
                        ++taken;
                        taken_bytes += current.view().size();
                        sink.take(current);
                    }
                });
                if (status == core::ChunkSplitter::Status::End) {
                    reached_end_ = true;
                    close();
                } else if (status == core::ChunkSplitter::Status::NeedInput) {
                    refill();
                }
            }
            check_signals();
        }
        return taken;
    } catch (...) {
        close();
        throw;
    }
}

void Reader::open() {
    if (state_ == State::Path) {
        try {
            open_path();
        } catch (...) {
            close();
            throw;
        }
    }
}

bool Reader::fresh_mapping(std::shared_ptr<const core::Mapping>& mapping, uint64_t& begin,
                           uint64_t& end) const {
    if (state_ != State::Mapped || blocks_made_ != 0 || mapped_->has_block()) return false;
    mapping = mapped_->mapping();
    begin = mapped_->position();
    end = std::min<uint64_t>(path_.stop, mapped_->size());
    return true;
}

uint64_t Reader::mapped_remaining() const noexcept {
    if (state_ != State::Mapped) return UINT64_MAX;
    const uint64_t end = std::min<uint64_t>(path_.stop, mapped_->size());
    return end > mapped_->position() ? end - mapped_->position() : 0;
}

void Reader::finish_mapped(uint64_t end) noexcept {
    reached_end_ = true;
    range_end_ = end;
    close();
}

// Opens the path and chooses how it is read: a byte range of a gzip file
// through its BGZF members, a compressed file through a decompressor, a
// mapped file by batches (from its range's first block), any other file in
// chunks.
void Reader::open_path() {
    std::unique_ptr<core::InputFile> file = open_path_file(path_);
    size_ = file->size();
    PyObject* path = path_.object.get();
    refuse_unread_format(*file, path);
    if (path_.ranged && file->compression() == core::Compression::Gzip) {
        file->close();
        return start_chunks(compressed_range_source(path, path_.start, path_.stop,
                                                    input_.kind == core::TextKind::Text, size_));
    }
    if (path_.ranged) check_random_access(*file, path);
    if (file->compression() != core::Compression::None)
        return start_chunks(decompressing_file(*file, path));
    mapped_ = map_path_file(*file, path_, input_.kind == core::TextKind::Text);
    if (!mapped_) return start_chunks(std::make_unique<FileSource>(std::move(file), path_.object));
    state_ = State::Mapped;
    if (path_.ranged) restrict_to_range(*mapped_, path_);
}

// --- refills -----------------------------------------------------------------

void Reader::refill() {
    switch (state_) {
        case State::Chunks:
            if (std::unique_ptr<ChunkSource> next = chunks_->refill(input_))
                chunks_ = std::move(next);
            return;
        case State::Closed: return input_.splitter.finish_input();
        case State::Path:
        case State::Mapped: break;
    }
    raise_internal("refill of an unsplit source");
}

// --- entry points ------------------------------------------------------------

namespace {

// The read1 or read method of a file object, or null: an object is a file
// object by these attributes alone, and an error looking one up counts as
// not having it.
Ref file_read_method(const ModuleState& state, PyObject* source) {
    for (PyObject* name : {state.names.read1.get(), state.names.read.get()}) {
        Ref method = Ref::steal(PyObject_GetAttr(source, name));
        if (method) return method;
        PyErr_Clear();
    }
    return {};
}

Ref file_object_iterator(const ModuleState& state, PyObject* file, Ref read_method) {
    Ref iterator = new_block_iterator(state);
    iterator_reader(iterator.get()).start_file_object(Ref::borrow(file), std::move(read_method));
    return iterator;
}

Ref path_iterator(const ModuleState& state, PyObject* source, bool borrow) {
    PathArgument path = path_argument(source);
    Ref iterator = new_block_iterator(state);
    iterator_reader(iterator.get())
        .start_path(std::move(path.bytes), std::move(path.object), borrow);
    return iterator;
}

bool has_fspath(const ModuleState& state, PyObject* source) {
    Ref attribute = Ref::steal(PyObject_GetAttr(source, state.names.fspath.get()));
    if (attribute) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    return false;
}

PyObject* parse_sdf(PyObject* module, PyObject* args, PyObject* kwargs) {
    return boundary(module, [&] {
        static const char* keywords[] = {"source", "borrow", "start", "stop", nullptr};
        PyObject* source = nullptr;
        PyObject* borrow = Py_False;
        PyObject* start = Py_None;
        PyObject* stop = Py_None;
        parse_arguments(args, kwargs, "O|$O!OO:parse_sdf", keywords, &source, &PyBool_Type, &borrow,
                        &start, &stop);
        // None, for either bound, is the file's own start or end.
        const bool ranged = start != Py_None || stop != Py_None;
        const uint64_t first =
            start != Py_None ? byte_offset_argument("parse_sdf", "start", start) : 0;
        const uint64_t last =
            stop != Py_None ? byte_offset_argument("parse_sdf", "stop", stop) : UINT64_MAX;
        const ModuleState& state = module_state(module);
        if (is_url_argument(source)) {
            // A URL is read through fsspec by molvane._remote, which hands a
            // stream back to _parse_stream.
            Ref remote = Ref::check(PyImport_ImportModule("molvane._remote"));
            return Ref::check(
                       PyObject_CallMethod(remote.get(), "parse_url", "OOO", source, start, stop))
                .release();
        }
        if (PyUnicode_Check(source) || PyBytes_Check(source) || has_fspath(state, source)) {
            Ref iterator = path_iterator(state, source, borrow == Py_True);
            if (ranged) iterator_reader(iterator.get()).restrict_range(first, last);
            return iterator.release();
        }
        if (ranged)
            raise_wrong_type(
                "parse_sdf start and stop need a path to a regular, uncompressed file, not %U",
                source);
        if (Ref read_method = file_read_method(state, source))
            return file_object_iterator(state, source, std::move(read_method)).release();
        raise_wrong_type("parse_sdf takes a path or a file object, not %U", source);
    });
}

PyObject* from_sdf(PyObject* cls, PyObject* sdf) {
    return boundary(cls, [&] {
        if (!PyUnicode_Check(sdf) && !PyBytes_Check(sdf))
            raise(PyExc_TypeError, "SDBlock.from_sdf argument must be str or bytes");
        // A str that has no UTF-8 form (lone surrogates) fails here, at the call.
        str_or_bytes_view(sdf);
        Ref iterator = new_block_iterator(type_state(as_type(cls)));
        iterator_reader(iterator.get()).start_buffer(Ref::borrow(sdf));
        return iterator.release();
    });
}

PyObject* from_lines(PyObject* cls, PyObject* lines) {
    return boundary(cls, [&] {
        if (PyUnicode_Check(lines) || PyBytes_Check(lines))
            raise(PyExc_TypeError,
                  "SDBlock.from_lines takes lines or a file object; use SDBlock.from_sdf to "
                  "parse SDF str or bytes");
        const ModuleState& state = type_state(as_type(cls));
        if (Ref read_method = file_read_method(state, lines))
            return file_object_iterator(state, lines, std::move(read_method)).release();
        Ref items = Ref::check(PyObject_GetIter(lines));
        Ref iterator = new_block_iterator(state);
        iterator_reader(iterator.get()).start_lines(std::move(items));
        return iterator.release();
    });
}

constexpr const char kParseSdfDoc[] =
    "parse_sdf(source, *, borrow=False, start=0, stop=None)\n--\n\n"
    "Lazily parse SDBlocks from an SDF path or file object.\n\n"
    "A path is opened on the first `next()`. Regular files on local Linux\n"
    "file systems are memory-mapped and split a batch of blocks at a time\n"
    "without holding the GIL; pipes, network file systems and other files\n"
    "are read in chunks. As with any mapped file, truncating the file while\n"
    "iterating can kill the process with SIGBUS, so write results to a new\n"
    "path.\n\n"
    "str paths give str values decoded as UTF-8 on access, with universal\n"
    "newlines translated to \"\\n\" as `open(path)` reads; bytes paths give\n"
    "bytes split on b\"\\n\" only. From a str path, text that is not UTF-8\n"
    "raises UnicodeDecodeError with a note naming the block and record; read\n"
    "such feeds from a bytes path or from a file opened with their encoding.\n\n"
    "`borrow=True` skips copying each block out of a mapped file: blocks read\n"
    "the file's pages until their first edit copies them and keep the mapping\n"
    "open while they live, so writing to or truncating the file shows through\n"
    "or kills the process with SIGBUS even after iterating. Never write\n"
    "results over the source path (as `write_sdf(path, kept_blocks)` would).\n"
    "Files that are read rather than mapped, and str-path blocks with \"\\r\"\n"
    "newlines, are copied as usual.\n\n"
    "Input compressed with gzip (also bgzip and concatenated members),\n"
    "bzip2, xz or zstd is recognised by its first bytes, whatever its name\n"
    "(a regular file, a pipe, a binary file object such as\n"
    "`sys.stdin.buffer`), and decompressed on a helper thread while its\n"
    "blocks are split, with the same kinds and newline rules as a plain\n"
    "file; .zst needs `molvane[zstd]`. Compressed input that ends early\n"
    "raises EOFError, and data that is damaged OSError, both naming the path\n"
    "(a file object's `name`, or '<stdin>'), once the blocks before the\n"
    "fault are delivered. A zip, 7z, rar or lz4 file raises\n"
    "ValueError. The iterator's `position` and `size` tell how far it has\n"
    "read, in bytes of the file, for progress bars.\n\n"
    "`start` and `stop` read a byte range of a path: exactly the blocks\n"
    "whose first byte lies in [start, stop), so adjacent ranges split a\n"
    "file into disjoint runs of its blocks with nothing lost, wherever the\n"
    "cuts fall (see `shards`). Only the bytes from the line holding `start`\n"
    "to the end of the range's last block are read. A range past the end or\n"
    "with `start >= stop` holds no blocks. `position` is then the byte offset\n"
    "in the file, running from the range's first block to the end of its\n"
    "last, and `size` stays the file's size. The file must be a regular,\n"
    "uncompressed file on a local file system: pipes and compressed files\n"
    "raise ValueError on the first `next()`, except BGZF files, whose\n"
    "ranges are in virtual offsets (see `shards`).\n\n"
    "A str or bytes `source` that starts with a scheme and \"://\" (s3://,\n"
    "gs://, https://, memory://) is a URL, read through fsspec\n"
    "(`molvane[remote]`) with its usual configuration: str and bytes URLs give\n"
    "the blocks of str and bytes paths, `start` and `stop` read only the\n"
    "range's bytes of a plain file, and file:// URLs are local paths.\n\n"
    "A file object, such as `sys.stdin.buffer`, is read as\n"
    "`SDBlock.from_lines` reads one, from its position and through Python:\n"
    "binary ones give bytes blocks and text ones str blocks. It is not\n"
    "closed, and `borrow` is ignored.\n\n"
    "Args:\n"
    "    source: a str, bytes, or os.PathLike path, or a file object with a\n"
    "        `read1` or `read` method\n"
    "    borrow: let blocks borrow a mapped file rather than copy it\n"
    "    start: byte offset at or after which the first block starts; None\n"
    "        (as 0) for the start of the file\n"
    "    stop: byte offset before which the last block starts; None for the\n"
    "        end of the file\n\n"
    "Returns:\n"
    "    An iterator of SDBlocks; `close()` releases the file early\n\n"
    "Raises:\n"
    "    TypeError: if `source` is neither a path nor a file object, or if\n"
    "        `start` or `stop` is given for a file object or is not an int\n"
    "    ValueError: for a negative `start` or `stop`";

constexpr const char kFromSdfDoc[] =
    "from_sdf(sdf)\n--\n\n"
    "Lazily parse SDBlocks from SDF str or bytes held in memory.\n\n"
    "Equivalent to `from_lines(io.StringIO(sdf, newline=None))` or\n"
    "`from_lines(io.BytesIO(sdf))`, without splitting lines: str input has\n"
    "universal newlines, translated to \"\\n\", and bytes are split on b\"\\n\"\n"
    "only.\n\n"
    "Args:\n"
    "    sdf: SDF content as str or bytes\n\n"
    "Returns:\n"
    "    An iterator of SDBlocks of the input type\n\n"
    "Raises:\n"
    "    TypeError: if `sdf` is not str or bytes";

constexpr const char kFromLinesDoc[] =
    "from_lines(lines)\n--\n\n"
    "Parse SDBlocks from homogeneous str or bytes lines or a file object.\n\n"
    "A file object (one with `read1` or `read`) is read in 128 KiB chunks\n"
    "with `read1` when available, or `read`, so the handle's position runs\n"
    "ahead of the blocks produced. Any other iterable, such as a list or a\n"
    "generator, gives whole lines: each item ends a line and may hold\n"
    "several. An item that does not end in \"\\n\" gets its block's title line\n"
    "ending (\"\\n\" after a \"\\r\"), so an empty item is an empty line; pass a\n"
    "stream's arbitrary chunks as a file object instead. A block is produced\n"
    "once an item starts with `$$$$` or the iterable ends, so line-by-line\n"
    "input is consumed only up to each block's `$$$$` line. The iterator does\n"
    "not close iterables.\n\n"
    "Lines end at \"\\n\" and keep their endings, so CR LF input writes back as\n"
    "CR LF. `from_lines(f)` gives the blocks `from_lines(list(f))` does,\n"
    "except that a file opened with `newline=\"\"` also ends its lines at a\n"
    "lone \"\\r\", which chunks do not; such files are best opened in default\n"
    "text mode, which translates \"\\r\\n\" and \"\\r\" to \"\\n\" as `parse_sdf`\n"
    "and `from_sdf` do for str input.\n\n"
    "Args:\n"
    "    lines: homogeneous str or bytes lines separated by the `$$$$`\n"
    "        delimiter, or a text or binary file object\n\n"
    "Returns:\n"
    "    An iterator that produces owned SDBlocks as input is consumed\n\n"
    "Raises:\n"
    "    TypeError: for a str or bytes argument (use `from_sdf` for those) or\n"
    "        a non-iterable, and, as blocks are produced, for items or reads\n"
    "        that are not str or bytes or that mix the two.";

// The one sniffing of compressed input for code outside the reader (the
// command line's view of stdin): the format's short name, or None.
PyObject* compression_of(PyObject* module, PyObject* head) {
    return boundary(module, [&] {
        if (!PyBytes_Check(head)) raise_wrong_type("head must be bytes, not %U", head);
        const std::string_view name =
            core::compression_name(core::sniff_compression(str_or_bytes_view(head)));
        if (name.empty()) return Ref::borrow(Py_None).release();
        return Ref::check(
                   PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())))
            .release();
    });
}

PyMethodDef kCompressionOfDef = {
    "_compression_of", compression_of, METH_O,
    "_compression_of($module, head, /)\n--\n\n"
    "The compression ('gzip', 'bz2', 'xz' or 'zstd') whose magic bytes `head` starts\n"
    "with, as parse_sdf recognises it, or None."};

// How an input ends, from its last bytes, for the command line's check:
// "terminated", "blank", "open", or None for an input without text.
PyObject* input_ending(PyObject* module, PyObject* tail) {
    return boundary(module, [&] {
        if (!PyBytes_Check(tail)) raise_wrong_type("tail must be bytes, not %U", tail);
        switch (core::input_ending(str_or_bytes_view(tail))) {
            case core::InputEnding::Terminated:
                return Ref::check(PyUnicode_FromString("terminated")).release();
            case core::InputEnding::Blank:
                return Ref::check(PyUnicode_FromString("blank")).release();
            case core::InputEnding::Open: return Ref::check(PyUnicode_FromString("open")).release();
            case core::InputEnding::Unknown: break;
        }
        return Ref::borrow(Py_None).release();
    });
}

PyMethodDef kInputEndingDef = {
    "_input_ending", input_ending, METH_O,
    "_input_ending($module, tail, /)\n--\n\n"
    "How an input whose last bytes are `tail` ends: 'terminated' (a $$$$ line last),\n"
    "'blank' (blank lines after the last $$$$ line), 'open' (text no $$$$ line\n"
    "closes), or None for an input without text."};

// The one sniffing of archives for code outside the reader (the command
// line refuses a zip on stdin as parse_sdf refuses it by path).
PyObject* archive_of(PyObject* module, PyObject* head) {
    return boundary(module, [&] {
        if (!PyBytes_Check(head)) raise_wrong_type("head must be bytes, not %U", head);
        const std::string_view name = core::unread_format(str_or_bytes_view(head));
        if (name.empty()) return Ref::borrow(Py_None).release();
        return Ref::check(
                   PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())))
            .release();
    });
}

PyMethodDef kArchiveOfDef = {
    "_archive_of", archive_of, METH_O,
    "_archive_of($module, head, /)\n--\n\n"
    "What `head` starts as that parse_sdf refuses to read ('zip archive', 'lz4',\n"
    "'7z archive', 'rar archive'), or None."};

// Whether parse_sdf, SDFile and shards take `text` for a URL, for the
// Python callers that choose a road by it (the command line, Dask).
PyObject* is_url(PyObject* module, PyObject* text) {
    return boundary(module, [&] {
        const bool url = is_url_argument(text);
        return Ref::borrow(url ? Py_True : Py_False).release();
    });
}

PyMethodDef kIsUrlDef = {"_is_url", is_url, METH_O,
                         "_is_url($module, text, /)\n--\n\n"
                         "Whether a str or bytes `text` is a URL (a scheme, then \"://\"), which\n"
                         "parse_sdf, SDFile and shards read through fsspec."};

// The blocks of a stream opened by molvane._remote, of the kind a str
// (`text`) or bytes path gives.
PyObject* parse_stream(PyObject* module, PyObject* args, PyObject* kwargs) {
    return boundary(module, [&] {
        static const char* keywords[] = {"stream", "text", nullptr};
        PyObject* stream = nullptr;
        PyObject* text = Py_False;
        parse_arguments(args, kwargs, "O$O!:_parse_stream", keywords, &stream, &PyBool_Type, &text);
        Ref iterator = new_block_iterator(module_state(module));
        iterator_reader(iterator.get()).start_stream(Ref::borrow(stream), text == Py_True);
        return iterator.release();
    });
}

PyMethodDef kParseStreamDef = {
    "_parse_stream", keywords_method(parse_stream), METH_VARARGS | METH_KEYWORDS,
    "_parse_stream($module, stream, *, text)\n--\n\n"
    "The blocks of `stream` (its `readinto`, with a `position` attribute), str\n"
    "blocks as from a str path when `text`, else bytes blocks; the stream is\n"
    "closed with the iterator."};

PyMethodDef kParseSdfDef = {"parse_sdf", keywords_method(parse_sdf), METH_VARARGS | METH_KEYWORDS,
                            kParseSdfDoc};

const PyMethodDef kMethods[] = {
    {"from_sdf", from_sdf, METH_O | METH_CLASS, kFromSdfDoc},
    {"from_lines", from_lines, METH_O | METH_CLASS, kFromLinesDoc},
};

}  // namespace

const BlockMembers kReaderMembers = {kMethods, {}, {}};

Ref parse_sdf_function(PyObject* module) {
    return module_function(module, kParseSdfDef);
}

Ref compression_of_function(PyObject* module) {
    return module_function(module, kCompressionOfDef);
}

Ref input_ending_function(PyObject* module) {
    return module_function(module, kInputEndingDef);
}

Ref archive_of_function(PyObject* module) {
    return module_function(module, kArchiveOfDef);
}

Ref is_url_function(PyObject* module) {
    return module_function(module, kIsUrlDef);
}

Ref parse_stream_function(PyObject* module) {
    return module_function(module, kParseStreamDef);
}

}  // namespace molvane::py
