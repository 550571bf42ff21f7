// A file read block by block at random: its block index, found once by a
// scan of a mapping (or adopted from a pickle or a saved index), and each
// block's bytes read with one pread. Every call is safe from several threads
// at once and needs no interpreter.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/block.hpp"
#include "core/file_fault.hpp"
#include "core/random_access_file.hpp"

namespace molvane::core {

// Block `number` built from its exact bytes `text` (read at `offset`), split
// by the rule of its kind as a BlockFile reads its blocks. May throw
// std::bad_alloc.
Block block_of_text(std::string text, bool universal, uint64_t offset, std::size_t number);

class BlockFile {
  public:
    // `universal`: blocks of a str path, split by the universal rule and
    // translated as parse_sdf translates them.
    BlockFile(std::string path, bool universal) noexcept
        : path_(std::move(path)), universal_(universal) {}

    // An index found before, for a file of `stamp`: used instead of a scan
    // once the file is opened and found unchanged. False once ready.
    bool adopt(std::vector<uint64_t> offsets, FileStamp stamp) noexcept;

    // Opens the file and scans it unless an index was adopted; after the
    // first success it only returns None. Faults: Io, the file's refusal,
    // Unmappable, Shrank, and for an adopted index Changed and Misfit (it
    // ends before the file does, and what follows is not trailing
    // whitespace). May throw std::bad_alloc.
    FileFault ready();
    // Whether ready() succeeded: then it returns at once, and callers may skip
    // releasing the interpreter lock for it.
    bool is_ready() const noexcept { return ready_.load(std::memory_order_acquire); }

    // After ready(): block starts and the file's size, len() + 1 entries.
    const std::vector<uint64_t>& offsets() const noexcept { return offsets_; }
    std::size_t count() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }
    const FileStamp& stamp() const noexcept { return stamp_; }
    const RandomAccessFile& file() const noexcept { return file_; }
    bool universal() const noexcept { return universal_; }

    // After ready(): block `i` (< count()), or Changed when the file's size
    // or modification time is not the indexed one. May throw std::bad_alloc.
    FileFault read(std::size_t i, Block& block) const;

  private:
    // Whether the bytes of the opened file from `from` to its end are all
    // whitespace (an adopted index leaves trailing whitespace out).
    FileFault check_trailing(uint64_t from) const;

    std::string path_;
    bool universal_;
    std::mutex mutex_;
    std::atomic<bool> ready_ = false;
    bool adopted_ = false;
    RandomAccessFile file_;
    std::vector<uint64_t> offsets_;
    FileStamp stamp_;
};

}  // namespace molvane::core
