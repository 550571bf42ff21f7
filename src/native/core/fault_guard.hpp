// Surviving a mapped file that shrinks under its reader.
//
// When another process truncates a file that we have mapped, the first touch
// of a page past the new end raises SIGBUS, which by default ends the
// process. Code that reads a mapping runs its raw loads through run_guarded:
// a SIGBUS inside the guarded range, on this thread, while the work runs,
// ends the work and makes run_guarded return false, so the caller can report
// an error instead. Every other SIGBUS goes on to the handler that was there
// before ours (Python's faulthandler, say, or the default action).
#pragma once

#include <cstddef>

namespace molvane::core {

// Installs the SIGBUS handler, or puts it back in front when another handler
// was installed over it since. Call before guarded work on a new mapping.
void install_fault_handler() noexcept;

// Runs work(context); false when a SIGBUS at an address in [begin, begin +
// size) cut it short. A fault leaves the work's own frame at once, skipping
// its destructors: the work must only read that memory and write memory that
// its caller owns, with no objects of its own that need destroying.
bool run_guarded_call(const char* begin, std::size_t size, void (*work)(void*) noexcept,
                      void* context) noexcept;

template <class Work>
bool run_guarded(const char* begin, std::size_t size, Work& work) noexcept {
    return run_guarded_call(
        begin, size, [](void* context) noexcept { (*static_cast<Work*>(context))(); }, &work);
}

}  // namespace molvane::core
