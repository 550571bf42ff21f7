// A file opened for writing by path. A regular file (or one that does not
// exist yet) is written through a temporary file in its directory, made
// durable (fsync) and renamed over it by commit(), so that a failed,
// interrupted or unfinished write leaves the target as it was, a power loss
// leaves the old file or the whole new one, and a file being read can be
// rewritten from itself. Anything else (a FIFO, a device such as
// /dev/stdout) is written directly. Results are errno-style values, so the
// caller may run these calls without the interpreter lock and convert
// failures after.
#pragma once

#include <sys/types.h>

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

    // Opens `path` for writing: a temporary beside a regular target, else the
    // path itself, created or truncated with mode 0666 before the umask. An
    // existing target must be writable as opening it for writing would
    // require (else that open's errno, EACCES for a 0444 file); its mode is
    // kept and, where the process may set them, its owner and group. A
    // symlink is followed to its target; a hard link to the target is
    // replaced by the new file. When no temporary can be made (a read-only
    // directory), the result is NoTemporary: the target is never truncated
    // in place. Interrupted when a signal cut a blocking open short (a FIFO
    // without a reader).
    IoOutcome open(const std::string& path) noexcept;

    // Writes `chunk` from `written` on, advancing `written`. Returns
    // Interrupted after a signal or a short write, so that the caller can
    // run signal handlers before it calls again for the rest.
    IoOutcome write_some(std::string_view chunk, size_t& written) noexcept;

    // Completes the write. For a temporary: fsync (when durable), close,
    // rename over the target, fsync its directory. On any failure before the
    // rename the temporary is removed and the target left alone.
    IoOutcome commit() noexcept;

    // Closes the file; a temporary is removed, so the target stays as it
    // was. Closing errors are not reported.
    void discard() noexcept;

    // Whether commit() syncs the data to the device (the default). Only a
    // benchmark turns it off, to measure what the sync costs.
    void set_durable(bool durable) noexcept { durable_ = durable; }

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
    // Starts the device writing what came since the last call, without
    // waiting, so that the final fsync has little left to do.
    void start_writeback(size_t count) noexcept;

    int fd_ = -1;
    bool durable_ = true;
    std::string temporary_;  // empty when writing the target directly
    std::string target_;
    off_t written_back_ = 0;  // bytes whose writeback has been started
    size_t unsynced_ = 0;     // bytes written since then
};

}  // namespace molvane::core
