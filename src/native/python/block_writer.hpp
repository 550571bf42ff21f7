// The state behind write_sdf (for one call) and _SDFWriter (for its life):
// the output buffer and the sink its chunks go to, a path or a file object.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/output_buffer.hpp"
#include "core/output_file.hpp"
#include "core/text_kind.hpp"
#include "python/block.hpp"
#include "python/module_state.hpp"
#include "python/ref.hpp"

namespace molvane::py {

class BlockWriter {
  public:
    // Opens the sink for `dest`: a file object when it has a `write`
    // attribute, else a path, created or truncated at once; a path ending in
    // .gz, .bz2, .xz or .zst is compressed, at `level` (None: the format's
    // default). Raises on failure.
    BlockWriter(const ModuleState& state, PyObject* dest, PyObject* level);
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    // Copies the block's text to the buffer (or, for a non-ASCII str block
    // bound for a file object, writes it as a chunk of its own) and flushes a
    // full buffer. The block counts as written only when this succeeds.
    void add(BlockObject& object);

    bool has_buffered() const noexcept { return !buffer_.empty(); }

    // Emits the buffered text as one chunk; the buffer is emptied even when
    // the chunk fails, part of which may have reached the destination.
    void flush();

    // Ends a completed write: a path's file is closed and, when it was
    // written through a temporary, renamed over the target; a file object's
    // `write` method is let go (the file object stays open, not flushed).
    // Raises when the file cannot be closed or renamed.
    void commit();

    // Ends an abandoned write: a temporary is removed, leaving the target as
    // it was; a file written directly is closed with what it got so far.
    void close_sink() noexcept;

    // Whether abandoning this write leaves the destination untouched (a
    // path written through a temporary), so that buffered blocks need not
    // go out first.
    bool is_atomic() const noexcept { return file_.is_atomic(); }

    uint64_t blocks_written() const noexcept { return blocks_written_; }

    // The file object's bound `write` method, or null for a path.
    PyObject* write_method() const noexcept { return write_method_.get(); }

    // What an error report names the sink by: the `write` method or the path.
    PyObject* sink_object() const noexcept {
        return write_method_ ? write_method_.get() : path_.get();
    }

  private:
    void add_to_file_object(BlockObject& object);
    void add_to_path(BlockObject& object);
    // Buffers the block's text, a str block's checked as UTF-8 first.
    void add_checked_text(BlockObject& object);
    void write_path_chunk();
    // One `write` call for `chunk`, and more for the rest when the call
    // reports that it took only part of it.
    void write_file_object_chunk(PyObject* chunk);

    void start_compressing(PyObject* level);
    void write_compressed_chunk();

    Ref write_method_;
    // A binary file object given str blocks: they go out as UTF-8 bytes.
    bool encode_for_binary_ = false;
    // A compressed path: the compressor's write and finish methods, which
    // write into the file's descriptor.
    Ref compress_write_;
    Ref compress_finish_;
    core::TextKind chunk_kind_ = core::TextKind::Undecided;
    // Declared before path_, whose initialiser opens it.
    core::OutputFile file_;
    Ref path_;  // as os.fspath returned it, for error messages
    core::OutputBuffer buffer_;
    uint64_t blocks_written_ = 0;
};

}  // namespace molvane::py
