// A file opened for writing by path. A regular file (or one that does not
// exist yet) is written through a temporary file in its directory, renamed
// over it by commit(), so that a failed or interrupted write leaves the
// target as it was and a file being read can be rewritten from itself.
// Anything else (a FIFO, a device such as /dev/stdout) is written directly.
// Results are errno-style values, so the caller may run these calls without
// the interpreter lock and convert failures after.
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
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens `path` for writing: a temporary beside a regular target (keeping
    // the target's permission bits and, where allowed, its owner; a symlink
    // is followed to its target), else the path itself, created or truncated
    // with mode 0666 before the umask. Interrupted when a signal cut a
    // blocking open short (a FIFO without a reader).
    IoOutcome open(const std::string& path) noexcept;

    // Writes `chunk` from `written` on, advancing `written`. Returns
    // Interrupted after a signal or a short write, so that the caller can
    // run signal handlers before it calls again for the rest.
    IoOutcome write_some(std::string_view chunk, size_t& written) noexcept;

    // Closes the file and, for a temporary, renames it over the target. On
    // failure the temporary is removed and the target left alone.
    IoOutcome commit() noexcept;

    // Closes the file; a temporary is removed, so the target stays as it
    // was. Closing errors are not reported.
    void discard() noexcept;

    bool is_open() const noexcept { return fd_ >= 0; }
    // The open descriptor (of the temporary, when there is one), still owned
    // here, for a writer that formats its own bytes (a compressor); -1 when
    // closed.
    int descriptor() const noexcept { return fd_; }
    // Whether commit() is what makes the output appear at the target.
    bool is_atomic() const noexcept { return !temporary_.empty(); }

  private:
    IoOutcome open_direct(const std::string& path) noexcept;
    void close_descriptor() noexcept;

    int fd_ = -1;
    std::string temporary_;  // empty when writing the target directly
    std::string target_;
};

}  // namespace molvane::core
