// The input side of `_SDBlockIterator`: where its bytes come from (an
// iterable of lines, a file object, in-memory text, a path read in chunks or
// mapped) and how each next() turns them into SDBlock objects. Also the
// reading entry points parse_sdf, SDBlock.from_sdf and SDBlock.from_lines.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/input_file.hpp"
#include "core/mapped_reader.hpp"
#include "core/split.hpp"
#include "core/text_kind.hpp"
#include "python/ref.hpp"

namespace molvane::py {

class Reader {
  public:
    Reader() = default;
    // The type of the blocks made (SDBlock), set before the reader starts.
    void make_blocks_of(Ref block_type) noexcept { block_type_ = std::move(block_type); }

    ~Reader() { close(); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Each starts the (closed) reader on one source.
    void start_lines(Ref iterator);
    void start_file_object(Ref read_method);
    void start_buffer(Ref text);  // a str or bytes object
    void start_path(std::string path_bytes, Ref path_object, bool borrow);
    // After start_path: only the blocks whose first byte lies in [start, stop).
    void restrict_range(uint64_t start, uint64_t stop) noexcept;

    // The next block, or a null Ref at the end. An error releases the source
    // before it propagates, so that later calls end the iteration.
    Ref next_block();

    // Drops the held Python objects, closes a file the reader opened and its
    // share of a mapping, and frees the buffer. Safe to call twice.
    void close() noexcept;

    // Visits the block type and the Python object of a lines or file-object
    // source.
    int traverse(visitproc visit, void* arg) const;

    // How far the reader is, for progress bars: bytes of the source consumed
    // (the compressed file's bytes for a compressed one; characters and
    // bytes as read for file objects), or null where it cannot tell (lines).
    Ref position() const;
    // The source's size in the units of position(), or None when unknown.
    Ref size() const;

  private:
    enum class Source { Closed, Lines, FileObject, Buffer, Path, File, Mapped, Decompressed };

    Ref produce();
    Ref make_block(core::Block&& block);
    Ref next_mapped();
    void open_path();
    void refill();
    void refill_lines();
    void refill_file_object();
    void refill_buffer();
    void refill_file();
    void start_decompressing();
    void refill_decompressed();
    void set_kind(core::TextKind kind, const char* mixed_message);
    // Refuses, for a byte range, a file that cannot be read from any offset.
    void check_random_access();

    Ref block_type_;  // kept by the reader, which makes blocks after the module may have gone
    Source source_ = Source::Closed;
    core::TextKind kind_ = core::TextKind::Undecided;
    bool utf8_known_ = true;
    core::ChunkSplitter splitter_;
    // Lines: the Python iterator; file object: its read method; buffer: the
    // str or bytes object.
    Ref object_;
    size_t position_ = 0;     // buffer: read position in the content
    bool cr_carry_ = false;   // newline translation across pieces of str input
    std::string path_bytes_;  // path: as the file system takes it
    Ref path_object_;         // path: what os.fspath() returned, for OSError
    bool borrow_ = false;
    core::InputFile file_;  // path: the file, until a mapping is taken from it
    // Where the blocks came from, for error notes: how many were made, the
    // stream offset of the next chunk-split block, and whether such offsets
    // are the input's own byte offsets.
    uint64_t blocks_made_ = 0;
    uint64_t stream_offset_ = 0;
    bool offsets_exact_ = true;
    std::unique_ptr<core::MappedReader> mapped_;
    // Decompressed: the stream object, whose readinto method is object_.
    Ref stream_;
    uint64_t consumed_ = 0;  // bytes or characters taken in from the source
    uint64_t size_ = core::InputFile::kUnknownSize;
    bool sized_ = false;  // size_ is known to be final
    bool reached_end_ = false;
    // A path read by byte range: its bounds, and where its last block ended
    // (the position once the range is read).
    bool ranged_ = false;
    uint64_t range_start_ = 0;
    uint64_t range_stop_ = UINT64_MAX;
    uint64_t range_end_ = 0;
    bool lines_ = false;  // an iterable of lines: no position to tell
};

// parse_sdf as a function object of `module`.
Ref parse_sdf_function(PyObject* module);

}  // namespace molvane::py
