// The input side of `_SDBlockIterator`: where its bytes come from (a path
// mapped, or one of the chunk sources of python/sources: an iterable of
// lines, a file object, in-memory text, a file read in chunks, a
// decompressing stream) and how each next() turns them into SDBlock objects. Also the
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
#include "python/sources/chunk_input.hpp"
#include "python/sources/chunk_source.hpp"
#include "python/sources/path_opening.hpp"

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
    // A file object and its read method: a binary one whose first bytes are
    // a compression format's magic is decompressed.
    void start_file_object(Ref file, Ref read_method);
    void start_buffer(Ref text);  // a str or bytes object
    void start_path(std::string path_bytes, Ref path_object, bool borrow);
    // A stream with `readinto` and `position` (a remote file, already
    // decompressed where it is compressed), read as the blocks of a str path
    // (`is_str`: universal newlines, UTF-8) or of a bytes path.
    void start_stream(Ref stream, bool is_str);
    // After start_path: only the blocks whose first byte lies in [start, stop).
    void restrict_range(uint64_t start, uint64_t stop) noexcept;

    // The next block, or a null Ref at the end. An error releases the source
    // before it propagates, so that later calls end the iteration.
    Ref next_block();

    // From now on (before the first block), whitespace after the last `$$$$`
    // line (core/input_ending) is kept instead of handed out as a block, for
    // callers that count or copy blocks; parse_sdf's own iterators hand it out.
    void hold_trailing() noexcept { hold_trailing_ = true; }
    // After the end, when holding: the trailing whitespace (as bytes or str,
    // the blocks' kind) if `block` is the last block made (None: no block was
    // made), else None.
    Ref trailing_after(PyObject* block) const;

    // Where pull() hands its blocks: take() runs without the interpreter lock
    // and may throw, which ends the pull.
    class BlockSink {
      public:
        virtual void take(core::Block& block) = 0;

      protected:
        ~BlockSink() = default;
    };
    // Hands up to `limit` next blocks to `sink` as core makes them, without
    // an SDBlock each, stopping once the blocks handed hold `byte_limit`
    // bytes of text (at least one block); `current` holds the block being
    // handed, so that a caller can name it in an error. Returns how many were
    // handed: fewer than `limit` only at the end of the input or the byte
    // limit. Errors close the reader.
    uint64_t pull(BlockSink& sink, core::Block& current, uint64_t limit,
                  uint64_t byte_limit = UINT64_MAX);

    // Opens a path source now rather than on the first block (nothing for
    // other sources).
    void open();
    // For a mapped file no block was taken from yet: its mapping and the
    // byte range [begin, end) its blocks start in, for a build that splits
    // the mapping itself. False for every other source.
    bool fresh_mapping(std::shared_ptr<const core::Mapping>& mapping, uint64_t& begin,
                       uint64_t& end) const;
    // Bytes of a mapped file's range not yet taken as blocks; UINT64_MAX for
    // every other source, whose length is not known ahead.
    uint64_t mapped_remaining() const noexcept;
    // After such a build read the mapping to `end`: the reader is at its end.
    void finish_mapped(uint64_t end) noexcept;
    // The kind of the blocks, once the source tells it (Undecided before a
    // file object's first read).
    core::TextKind kind() const noexcept { return input_.kind; }
    // The path as the caller gave it, for error messages; null for other sources.
    PyObject* path_object() const noexcept { return path_.object.get(); }

    // Drops the held Python objects, closes a file the reader opened and its
    // share of a mapping, and frees the buffer. Safe to call twice.
    void close() noexcept;

    // Visits the block type, the last block held and the Python objects of
    // the chunk source.
    int traverse(visitproc visit, void* arg) const;

    // How far the reader is, for progress bars: bytes of the source consumed
    // (the compressed file's bytes for a compressed one; characters and
    // bytes as read for file objects), or null where it cannot tell (lines).
    Ref position() const;
    // The source's size in the units of position(), or None when unknown.
    Ref size() const;

  private:
    // Closed; a path not opened yet; a mapped file; a chunk source.
    enum class State { Closed, Path, Mapped, Chunks };

    Ref produce();
    Ref make_block(core::Block&& block);
    // When holding the trailing whitespace: whether `block` is it (then kept).
    bool held_as_trailing(const core::Block& block);
    // Sets what the reader knows of a block made from its input: its kind,
    // whether it was checked as UTF-8, and its number.
    void finish_block(core::Block& block) noexcept;
    // The next block of a chunked source into `block`, false at the end.
    core::ChunkSplitter::Status split_next(core::Block& block);
    void end_mapped();
    Ref next_mapped();
    // Reads the mapping's next batch of blocks.
    void read_mapped_batch();
    void start_chunks(std::unique_ptr<ChunkSource> source) noexcept;
    void open_path();
    void refill();

    Ref block_type_;  // kept by the reader, which makes blocks after the module may have gone
    State state_ = State::Closed;
    ChunkInput input_;  // the splitter and the kind of the blocks
    bool utf8_known_ = true;
    std::unique_ptr<ChunkSource> chunks_;
    PathRequest path_;
    std::unique_ptr<core::MappedReader> mapped_;
    // A mapped file's range: where its last block ended (the position once
    // the range is read).
    uint64_t range_end_ = 0;
    // A path's size once opened, and any source's once closed.
    uint64_t size_ = core::InputFile::kUnknownSize;
    // A closed source's position (ChunkSource::kUnknown for lines).
    uint64_t position_ = 0;
    // Where the blocks came from, for error notes: how many were made, the
    // stream offset of the next chunk-split block.
    uint64_t blocks_made_ = 0;
    uint64_t stream_offset_ = 0;
    bool reached_end_ = false;
    // hold_trailing(): the whitespace kept, and the last block handed out.
    bool hold_trailing_ = false;
    bool has_trailing_ = false;
    std::string trailing_;
    Ref last_block_;
};

// parse_sdf as a function object of `module`.
Ref parse_sdf_function(PyObject* module);
// _compression_of, the compression sniffing of core, as a function of `module`.
Ref compression_of_function(PyObject* module);
// _input_ending, core's reading of how an input ends, as a function of `module`.
Ref input_ending_function(PyObject* module);
// _archive_of, the archive sniffing of core, as a function of `module`.
Ref archive_of_function(PyObject* module);
// _is_url, core's telling of URLs from paths, as a function of `module`.
Ref is_url_function(PyObject* module);
// _parse_stream, parse_sdf of a remote file's stream, as a function of `module`.
Ref parse_stream_function(PyObject* module);

}  // namespace molvane::py
