// The chunks of str or bytes held in memory (SDBlock.from_sdf), a read unit
// at a time.
#pragma once

#include <cstddef>

#include "python/ref.hpp"
#include "python/sources/chunk_source.hpp"

namespace molvane::py {

class BufferSource final : public ChunkSource {
  public:
    // `text` is a str or bytes object.
    explicit BufferSource(Ref text);
    ~BufferSource() override { close(); }

    std::unique_ptr<ChunkSource> refill(ChunkInput& input) override;
    uint64_t position() const noexcept override { return position_; }
    uint64_t size() const noexcept override { return size_; }
    void close() noexcept override;

  private:
    Ref text_;
    std::size_t position_ = 0;  // read position in the content
    std::size_t size_ = 0;
};

}  // namespace molvane::py
