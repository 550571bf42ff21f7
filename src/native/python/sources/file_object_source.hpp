// The chunks of a Python file object, read through its read1 or read
// method; a binary one whose first bytes are compressed is handed to a
// decompressor.
#pragma once

#include "python/ref.hpp"
#include "python/sources/chunk_source.hpp"

namespace molvane::py {

class FileObjectSource final : public ChunkSource {
  public:
    FileObjectSource(Ref file, Ref read_method) noexcept
        : file_(std::move(file)), read_(std::move(read_method)) {}
    ~FileObjectSource() override { close(); }

    std::unique_ptr<ChunkSource> refill(ChunkInput& input) override;
    // Characters and bytes as read.
    uint64_t position() const noexcept override { return consumed_; }
    int traverse(visitproc visit, void* arg) const override;
    void close() noexcept override;

  private:
    Ref file_;
    Ref read_;
    uint64_t consumed_ = 0;
};

}  // namespace molvane::py
