// One source of a reader's chunks (an iterable of lines, a file object, text
// in memory, a file read in chunks, a decompressing stream): it owns what it
// reads from and adds to the reader's splitter on each refill.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "python/sources/chunk_input.hpp"

namespace molvane::py {

class ChunkSource {
  public:
    // A position or size the source cannot tell.
    static constexpr uint64_t kUnknown = UINT64_MAX;

    ChunkSource() = default;
    virtual ~ChunkSource() = default;
    ChunkSource(const ChunkSource&) = delete;
    ChunkSource& operator=(const ChunkSource&) = delete;

    // Adds the next input to `input.splitter`, or finishes its input at the
    // end. Returns the source that takes over from this one from now on (a
    // decompressor, for a first read that is compressed), else null.
    virtual std::unique_ptr<ChunkSource> refill(ChunkInput& input) = 0;
    // How far the source is, for progress bars: bytes (or characters) taken
    // in from it, or kUnknown.
    virtual uint64_t position() const noexcept = 0;
    // The source's size in the units of position(), or kUnknown.
    virtual uint64_t size() const noexcept { return kUnknown; }
    // The position once the source is read to its end: its size, where known.
    virtual uint64_t end_position() const noexcept {
        return size() != kUnknown ? size() : position();
    }
    // Visits the Python objects the source holds that may be in a cycle.
    virtual int traverse(visitproc, void*) const { return 0; }
    // Lets go of what the source reads from, keeping an error being raised.
    // Safe to call twice.
    virtual void close() noexcept {}
};

}  // namespace molvane::py
