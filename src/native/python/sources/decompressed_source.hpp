// The chunks of a stream with `readinto` and `position`: the decompressing
// stream of molvane/_compression.py that compressed input is handed to, a
// byte range of a BGZF file (molvane/_gzaccess.py), or a remote file's
// stream (molvane/_remote.py).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/compression.hpp"
#include "python/ref.hpp"
#include "python/sources/chunk_source.hpp"

namespace molvane::py {

class DecompressedSource final : public ChunkSource {
  public:
    // `readinto` is the stream's method; `size` the size of the file the
    // stream's position counts in, or kUnknown; `ranged` for a byte range,
    // which ends where the stream stopped reading.
    DecompressedSource(Ref stream, Ref readinto, uint64_t size, bool ranged) noexcept
        : stream_(std::move(stream)),
          readinto_(std::move(readinto)),
          size_(size),
          ranged_(ranged) {}
    ~DecompressedSource() override { close(); }
    // Looks the stream's readinto up, for a source made without it: where
    // that fails, the stream is closed with the source.
    void bind_readinto();

    std::unique_ptr<ChunkSource> refill(ChunkInput& input) override;
    uint64_t position() const noexcept override { return consumed_; }
    uint64_t size() const noexcept override { return size_; }
    uint64_t end_position() const noexcept override {
        return ranged_ && size_ != kUnknown ? range_end_ : ChunkSource::end_position();
    }
    int traverse(visitproc visit, void* arg) const override;
    // Closes the stream, which stops a thread decompressing ahead.
    void close() noexcept override;

  private:
    Ref stream_;
    Ref readinto_;
    uint64_t consumed_ = 0;  // the stream's position
    uint64_t size_;
    bool ranged_;
    uint64_t range_end_ = 0;  // a range: where its last block ended
};

// The source reading `stream` (a remote file's stream, already decompressed).
std::unique_ptr<ChunkSource> stream_source(Ref stream);

// Hands compressed input to a decompressing stream: `raw` is a descriptor
// the stream takes over or a file object it reads, `head` the bytes already
// read from it, `name` what errors call it, `size` the file's size or
// ChunkSource::kUnknown.
std::unique_ptr<ChunkSource> decompressing_source(Ref raw, core::Compression compression,
                                                  std::string_view head, PyObject* name,
                                                  uint64_t size);
// The same for a first read `head` that is compressed; null for one that is not.
std::unique_ptr<ChunkSource> decompress_if_compressed(std::string_view head, Ref raw,
                                                      PyObject* name, uint64_t size);

// A byte range [start, stop) of a gzip file: the blocks of a range of
// virtual offsets of a BGZF file, decompressed by molvane/_gzaccess.py,
// which refuses other files. `text` for the blocks of a str path.
std::unique_ptr<ChunkSource> compressed_range_source(PyObject* path, uint64_t start, uint64_t stop,
                                                     bool text, uint64_t size);

}  // namespace molvane::py
