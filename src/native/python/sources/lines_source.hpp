// The chunks of an iterable of lines (SDBlock.from_lines): each item ends a
// line; no position to tell.
#pragma once

#include "python/ref.hpp"
#include "python/sources/chunk_source.hpp"

namespace molvane::py {

class LinesSource final : public ChunkSource {
  public:
    explicit LinesSource(Ref iterator) noexcept : iterator_(std::move(iterator)) {}
    ~LinesSource() override { close(); }

    std::unique_ptr<ChunkSource> refill(ChunkInput& input) override;
    uint64_t position() const noexcept override { return kUnknown; }
    int traverse(visitproc visit, void* arg) const override;
    void close() noexcept override;

  private:
    Ref iterator_;
};

}  // namespace molvane::py
