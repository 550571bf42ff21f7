// The use guard of blocks, tables, iterators and writers: reads share an
// object, edits and iterator steps hold it exclusively, and a conflicting
// call (another thread, or re-entry from Python code) fails instead of waiting.
#pragma once

#include "core/error.hpp"

namespace molvane::py {

class UseGuard {
  public:
    bool is_free() const noexcept { return state_ == 0; }

  private:
    friend class SharedUse;
    friend class ExclusiveUse;
    // > 0: that many shared users; -1: one exclusive user.
    int state_ = 0;
};

class SharedUse {
  public:
    explicit SharedUse(UseGuard& guard) : guard_(guard) {
        if (guard_.state_ < 0) core::fail(core::ErrorKind::Runtime, "Already mutably borrowed");
        ++guard_.state_;
    }
    ~SharedUse() { --guard_.state_; }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;

  private:
    UseGuard& guard_;
};

class ExclusiveUse {
  public:
    explicit ExclusiveUse(UseGuard& guard) : guard_(guard) {
        if (guard_.state_ != 0) core::fail(core::ErrorKind::Runtime, "Already borrowed");
        guard_.state_ = -1;
    }
    ~ExclusiveUse() { guard_.state_ = 0; }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;

  private:
    UseGuard& guard_;
};

}  // namespace molvane::py
