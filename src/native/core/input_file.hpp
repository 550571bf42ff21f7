// A file opened for reading by path, beside OutputFile for writing: a
// non-empty regular file on a local file system is mapped whole and its
// descriptor closed at once; any other file is read in chunks through its
// descriptor. Results are IoOutcome values, so the calls may run without the
// interpreter lock. An interrupted call comes back as Interrupted, not
// retried, so that the caller can run signal handlers before calling again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/compression.hpp"
#include "core/file_fault.hpp"
#include "core/io_outcome.hpp"
#include "core/mapped.hpp"
#include "core/pipe_read_ahead.hpp"

namespace molvane::core {

class InputFile {
  public:
    InputFile() = default;
    ~InputFile() { close(); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens `path` read-only, close-on-exec, and maps it when it can. A
    // regular file whose first bytes are a compression format's magic is
    // neither mapped nor read: its descriptor waits for a decompressor.
    IoOutcome open(const std::string& path) noexcept;

    // The compression of a regular file found by open(); None otherwise.
    Compression compression() const noexcept { return compression_; }
    // The archive or compression format of a regular file that is not read
    // ("zip archive", say), or "": such a file is neither mapped nor read.
    std::string_view unread_format() const noexcept { return unread_format_; }
    // The size of a regular file at open(), or kUnknownSize.
    static constexpr uint64_t kUnknownSize = UINT64_MAX;
    uint64_t size() const noexcept { return size_; }
    // A regular file that reported 0 bytes at open() yet held some (a /proc
    // file): it is read through, but has no byte offsets to seek to.
    bool size_understated() const noexcept { return size_understated_; }
    // The open descriptor, still owned here; -1 when there is none.
    int descriptor() const noexcept { return fd_; }
    // Hands the open descriptor over to the caller, who closes it; -1 when
    // there is none (a mapped file's is closed at once).
    int release_descriptor() noexcept {
        ahead_.reset();
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // The mapping that open() made, handed over once; null for a file read
    // in chunks.
    std::shared_ptr<const Mapping> take_mapping() noexcept { return std::move(mapping_); }
    bool has_mapping() const noexcept { return mapping_ != nullptr; }

    // Why the file open() opened cannot be read from any offset, as a byte
    // range needs: Io (EISDIR) for a directory, NotRegular, Compressed,
    // SizeUnknown or Unmappable (an
    // empty file is never mapped, and holds no block in any range); None
    // when it can.
    FileFault random_access_refusal() const noexcept;

    // Reads up to `len` bytes into `buf`; `got` is the count read, 0 at the
    // end of the file.
    IoOutcome read_some(char* buf, size_t len, size_t& got) noexcept;

    // The size of the regular file at `path`, or kUnknownSize for anything
    // else (a FIFO, a device, a path that cannot be looked up).
    static uint64_t regular_file_size(const std::string& path) noexcept;

    // Closes the descriptor, if open, and drops a mapping not taken.
    void close() noexcept;

  private:
    int fd_ = -1;
    // A pipe is read ahead on a thread of its own from its second read on
    // (the first may hand the descriptor to a decompressor).
    bool is_pipe_ = false;
    bool read_before_ = false;
    std::unique_ptr<PipeReadAhead> ahead_;
    Compression compression_ = Compression::None;
    bool size_understated_ = false;
    bool directory_ = false;
    std::string_view unread_format_;
    uint64_t size_ = kUnknownSize;
    std::shared_ptr<const Mapping> mapping_;
};

}  // namespace molvane::core
