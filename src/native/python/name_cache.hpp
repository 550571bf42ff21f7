// The record-name cache: record names repeat across the blocks of a file, so
// each thread keeps the Python objects of short names it has made and hands
// out new references to them instead of building equal objects again.
#pragma once

#include <string_view>

#include "core/block.hpp"
#include "python/module_state.hpp"
#include "python/ref.hpp"

namespace molvane::py {

struct NameCache;

// Makes the record names of one operation on one block: it finds this
// thread's cache once, then serves every name of the operation from it.
class RecordNames {
  public:
    // `state` is the module's whose types make the block (for the cache's key).
    RecordNames(const core::Block& block, const ModuleState& state);

    // The name as an object of the block's type. A str block's name is
    // decoded strictly; a UnicodeDecodeError gets the decode note for the record.
    Ref make(std::string_view name);
    const core::Block& block() const noexcept { return block_; }

  private:
    const core::Block& block_;
    Ref holder_;        // keeps the cache alive while the operation runs
    NameCache* cache_;  // null when this thread has nowhere to keep one
};

}  // namespace molvane::py
