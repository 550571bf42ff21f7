// One home for the loop around a system call that a signal may cut short
// with EINTR before it did anything, so that such calls are simply made again.
#pragma once

#include <cerrno>

namespace molvane::core {

// Calls `call` until it does not fail with EINTR; returns its last result.
// Not for close(), whose descriptor is gone even when it reports EINTR, nor
// for calls whose interruption should let signal handlers run first.
template <class Call>
auto retry_on_eintr(Call&& call) noexcept {
    for (;;) {
        auto result = call();
        if (!(result == -1 && errno == EINTR)) return result;
    }
}

}  // namespace molvane::core
