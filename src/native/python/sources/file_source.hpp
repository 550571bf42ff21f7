// The chunks of a file read through its descriptor: a pipe, FIFO or device,
// or a regular file that cannot be mapped. A first read that is compressed
// hands the descriptor to a decompressor.
#pragma once

#include <memory>

#include "core/input_file.hpp"
#include "python/ref.hpp"
#include "python/sources/chunk_source.hpp"

namespace molvane::py {

class FileSource final : public ChunkSource {
  public:
    // `file` is open; `path` is what errors call it.
    FileSource(std::unique_ptr<core::InputFile> file, Ref path) noexcept
        : file_(std::move(file)), path_(std::move(path)) {}
    ~FileSource() override { close(); }

    std::unique_ptr<ChunkSource> refill(ChunkInput& input) override;
    uint64_t position() const noexcept override { return consumed_; }
    uint64_t size() const noexcept override { return file_->size(); }
    void close() noexcept override { file_->close(); }

  private:
    std::unique_ptr<core::InputFile> file_;
    Ref path_;
    uint64_t consumed_ = 0;
};

}  // namespace molvane::py
