// The state behind write_sdf (for one call) and _SDFWriter (for its life):
// the output buffer and the sink its chunks go to. Each kind of sink is a
// class of its own (block_writer.cpp): a file object, a plain path written
// through core::OutputFile, or a compressed path whose compressor writes
// into that file's descriptor.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/output_buffer.hpp"
#include "python/block.hpp"
#include "python/module_state.hpp"
#include "python/ref.hpp"

namespace molvane::py {

// Where a writer's chunks go.
class Sink {
  public:
    virtual ~Sink() = default;

    // The buffer threshold that suits the sink.
    virtual size_t chunk_threshold() const noexcept = 0;

    // Puts the block's text into `buffer`, checked as the sink needs. A file
    // object may instead write the block as a chunk of its own (flushing
    // the buffer first). `index` numbers the block for error notes.
    virtual void add(BlockObject& object, core::OutputBuffer& buffer, uint64_t index);

    // Writes one chunk, whole, or raises.
    virtual void write(std::string_view chunk) = 0;

    // Completes the output (the compressed stream's end, the rename); raises
    // when it cannot be completed.
    virtual void commit() = 0;

    // Abandons the output: a temporary is removed, so the target stays as it
    // was. Never raises.
    virtual void discard() noexcept = 0;

    // Whether abandoning leaves the destination untouched (a path written
    // through a temporary), so that buffered blocks need not go out first.
    virtual bool is_atomic() const noexcept { return false; }

    // What an error report names the sink by: the `write` method or the path.
    virtual PyObject* name() const noexcept = 0;

    // A Python object the sink holds that may lead back to the writer (a
    // file object's `write`), for the collector; null otherwise.
    virtual PyObject* held_object() const noexcept { return nullptr; }

    // Turns the sync to the device on commit off (for a benchmark only).
    virtual void set_durable(bool) noexcept {}
};

class BlockWriter {
  public:
    // Opens the sink for `dest`: a file object when it has a `write`
    // attribute, else a path, opened at once; a path ending in .gz, .bz2,
    // .xz or .zst is compressed, at `level` (None: the format's default).
    // Raises on failure.
    BlockWriter(const ModuleState& state, PyObject* dest, PyObject* level, bool bgzf = false);
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    // Copies the block's text to the buffer and flushes a full buffer. The
    // block counts as written only when this succeeds.
    void add(BlockObject& object);
    // Appends text that is no block: the input's trailing whitespace, copied
    // after its last block (ASCII, so every sink takes it as it is). Raises
    // ValueError for anything but whitespace.
    void add_trailing(std::string_view text);

    bool has_buffered() const noexcept { return !buffer_.empty(); }

    // Emits the buffered text as one chunk; the buffer is emptied even when
    // the chunk fails, part of which may have reached the destination.
    void flush();

    // Ends a completed write: a path's file is synced, closed and, when it
    // was written through a temporary, renamed over the target; a file
    // object's `write` method is let go (the file object stays open, not
    // flushed). Raises when the output cannot be completed.
    void commit();

    // Ends an abandoned write: a temporary is removed, leaving the target as
    // it was; a file written directly is closed with what it got so far.
    void close_sink() noexcept { sink_->discard(); }

    bool is_atomic() const noexcept { return sink_->is_atomic(); }
    uint64_t blocks_written() const noexcept { return blocks_written_; }
    PyObject* held_object() const noexcept { return sink_->held_object(); }
    PyObject* sink_object() const noexcept { return sink_->name(); }
    void set_durable(bool durable) noexcept { sink_->set_durable(durable); }

  private:
    std::unique_ptr<Sink> sink_;
    core::OutputBuffer buffer_;
    uint64_t blocks_written_ = 0;
};

}  // namespace molvane::py
