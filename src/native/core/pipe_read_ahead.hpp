// Reads a pipe on a thread of its own, a few chunks ahead of its consumer,
// so that copying out of the pipe overlaps with what the consumer does with
// each chunk (splitting it into blocks, building a table).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "core/io_outcome.hpp"

namespace molvane::core {

class PipeReadAhead {
  public:
    // Starts reading `fd`, which stays the caller's to close after stop().
    // False when no thread could be started: then read the pipe directly.
    bool start(int fd) noexcept;
    ~PipeReadAhead() { stop(); }
    PipeReadAhead() = default;
    PipeReadAhead(const PipeReadAhead&) = delete;
    PipeReadAhead& operator=(const PipeReadAhead&) = delete;

    bool running() const noexcept { return thread_.joinable(); }

    // Up to `len` bytes into `buf`; `got` 0 at the end of the input. The
    // pipe's own error, if any, once every byte before it was handed out.
    // Interrupted when nothing came within a short wait, so that a caller
    // can run its signal handlers (Ctrl-C) and ask again.
    IoOutcome read_some(char* buf, std::size_t len, std::size_t& got) noexcept;

    // Ends the thread (waking it from a pipe whose writer is silent) and
    // drops what it read ahead.
    void stop() noexcept;

  private:
    void run() noexcept;

    int fd_ = -1;
    int wake_[2] = {-1, -1};  // a pipe of our own that wakes the thread to stop
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> ready_;  // chunks read, in order
    std::size_t taken_ = 0;          // bytes of the front chunk handed out
    std::size_t held_ = 0;           // bytes of all chunks not yet handed out
    bool ended_ = false;             // the thread read the end, or failed
    int error_ = 0;                  // errno of the failed read
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace molvane::core
