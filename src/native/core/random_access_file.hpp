// A file opened for reading at any offset: byte ranges, shards and the block
// index need a regular, uncompressed file, and remember its size and
// modification time so that a later change to it can be noticed.
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

namespace molvane::core {

// What fstat tells of an open file, to compare with what it told before.
struct FileStamp {
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    bool operator==(const FileStamp&) const noexcept = default;
};

class RandomAccessFile {
  public:
    RandomAccessFile() = default;
    ~RandomAccessFile() { close(); }
    RandomAccessFile(const RandomAccessFile&) = delete;
    RandomAccessFile& operator=(const RandomAccessFile&) = delete;

    // Opens `path` read-only without waiting for a FIFO's writer, and looks
    // at its type and first bytes. An interrupted call comes back as such.
    IoOutcome open(const std::string& path) noexcept;
    void close() noexcept;

    // Why the file opened cannot be read at any offset: None, NotRegular,
    // Compressed (with its compression), Archive (with its format) or
    // SizeUnknown (offsets into a file that reports 0 bytes mean nothing).
    const FileFault& refusal() const noexcept { return refusal_; }
    Compression compression() const noexcept { return refusal_.compression; }
    // Size and modification time at open().
    const FileStamp& stamp() const noexcept { return stamp_; }
    // The stamp now, through the open descriptor.
    IoOutcome current_stamp(FileStamp& stamp) const noexcept;

    // A mapping of the whole file for one scan, or null when the file is empty
    // or is not on a local file system.
    std::shared_ptr<const Mapping> map() const noexcept;

    // Reads exactly [begin, begin + len) into `buf`; a file that ends sooner
    // gives EIO. Safe from several threads at once.
    IoOutcome read_at(uint64_t begin, char* buf, size_t len) const noexcept;

  private:
    int fd_ = -1;
    FileFault refusal_;
    FileStamp stamp_;
};

}  // namespace molvane::core
