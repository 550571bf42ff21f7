// A file opened for writing by path: created or truncated, written in full by
// a loop over partial writes. Results are errno-style values, so the caller
// may run these calls without the interpreter lock and convert failures after.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/io_outcome.hpp"

namespace molvane::core {

// The largest byte count handed to one write call (the limit some systems
// place on a single read or write).
inline constexpr size_t kMaxWriteCall = 0x7FFFFFFF;

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile() { close(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens `path` write-only, creating or truncating it, mode 0666 before the
    // umask, close-on-exec.
    IoOutcome open(const std::string& path) noexcept;

    // Writes all of `chunk`, retrying interrupted calls and continuing after
    // partial ones.
    IoOutcome write_all(std::string_view chunk) noexcept;

    // Closes the descriptor; a failure to close is not reported.
    void close() noexcept;

    bool is_open() const noexcept { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

}  // namespace molvane::core
