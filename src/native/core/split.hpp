// Cutting SD text into blocks at `$$$$` lines.
//
// A block runs from the first byte after the previous block through the end of
// the next line that starts with "$$$$" (its line ending included); the bytes
// after the last such line form a final block when they are not empty. Two
// rules find those lines: the LF rule (only LF ends a line; bytes input and
// text that was already translated) and the universal rule (LF, CR and CR LF
// end lines; untranslated text mapped from a str path).
//
// The chunk splitter works on input that arrives piece by piece; the batch
// splitter cuts a whole mapped file a batch at a time. Neither touches Python.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string_view>

#include "core/lines.hpp"

namespace molvane::core {

// Size of every read, window and mapped batch.
inline constexpr std::size_t kReadUnit = 131072;

// One step of a split, all offsets into the searched data.
struct Split {
    std::size_t end;       // just past the `$$$$` line's ending, or the end of the data
    std::size_t dollar;    // start of the `$$$$` line, or npos
    std::size_t first_cr;  // universal rule: the block's first CR, `end` when none
};

// A fixed pattern that starts a `$$$$` line. The patterns are matched by
// looking for their '$' run, a byte that is rare in SD text, with memchr and
// checking the bytes around each hit.
class DollarNeedle {
  public:
    // `universal` false: the 5 bytes "\n$$$$". True: "$$$$" after LF or CR.
    explicit constexpr DollarNeedle(bool universal) noexcept : universal_(universal) {}

    // Start of the first `$$$$` line whose preceding line break lies at or
    // after `from`, or npos. The four dollar signs must lie within `size`.
    std::size_t find_line_start(const char* data, std::size_t size,
                                std::size_t from) const noexcept;

  private:
    bool universal_;
};

// The two process-wide needles.
const DollarNeedle& lf_needle() noexcept;
const DollarNeedle& universal_needle() noexcept;

// LF rule, one step from the block start `start`; the search for "\n$$$$"
// begins at `resume` (>= start), which lets a caller skip data it searched.
Split split_lf(const char* data, std::size_t size, std::size_t start, std::size_t resume) noexcept;
inline Split split_lf(const char* data, std::size_t size, std::size_t start) noexcept {
    return split_lf(data, size, start, start);
}

// Universal rule, one step from `start`.
Split split_universal(const char* data, std::size_t size, std::size_t start) noexcept;

// End of the block that starts at `start`, as split_lf or split_universal
// finds it, without looking for the block's CRs.
std::size_t block_end(const char* data, std::size_t size, std::size_t start,
                      bool universal) noexcept;

// Splits input that is appended piece by piece into an owned buffer.
//
// Call next(): it yields a block, asks for input, or reports the end. On
// NeedInput append with append_space()/commit() (so reads and in-place
// translation work on the buffer itself) or append(), or call finish_input().
// A yielded block points into the buffer and stays valid until the next
// append.
class ChunkSplitter {
  public:
    enum class Status { Block, NeedInput, End };

    struct Block {
        const char* data;
        std::size_t size;
        std::size_t dollar;  // start of the `$$$$` line within the block, or npos
    };

    ChunkSplitter() = default;
    ChunkSplitter(const ChunkSplitter&) = delete;
    ChunkSplitter& operator=(const ChunkSplitter&) = delete;

    Status next(Block& block);

    // Room for `len` more bytes after the filled ones; moves the unconsumed
    // tail to the front of the buffer first. Valid until the next commit().
    char* append_space(std::size_t len);
    // Adds `len` bytes written through append_space() to the filled length.
    void commit(std::size_t len);
    void append(const char* data, std::size_t len);
    void finish_input() noexcept { end_of_input_ = true; }
    bool input_ended() const noexcept { return end_of_input_; }

    // Hands over the buffer that holds `block`, the block next() has just
    // yielded, so that a large block is never copied: the bytes after it
    // move to a fresh buffer, the block's range is cut to its first `keep`
    // bytes and `append` written after them. Returns the block's first byte
    // in that buffer, which may have moved: `block.data` is stale after.
    std::shared_ptr<const char> take_block(const Block& block, std::size_t keep,
                                           std::string_view append);

    // Bytes held but not yet handed out as a block.
    std::size_t pending() const noexcept { return filled_ - start_; }
    // Frees the buffer and starts afresh (end of input clear).
    void reset() noexcept;

  private:
    // malloc'd, so that growing a large buffer can remap its pages in place
    // (realloc) instead of holding the old and the new copy at once.
    struct FreeBytes {
        void operator()(char* bytes) const noexcept { std::free(bytes); }
    };
    using Buffer = std::unique_ptr<char, FreeBytes>;

    void compact() noexcept;
    // Resizes the buffer to `size` bytes, keeping the filled ones.
    void reallocate(std::size_t size);

    Buffer buffer_;
    std::size_t capacity_ = 0;
    std::size_t filled_ = 0;
    std::size_t start_ = 0;   // first byte not yet handed out
    std::size_t resume_ = 0;  // where the next "\n$$$$" search starts
    std::size_t dollar_ = npos;
    std::size_t line_scan_ = 0;  // where the search for the `$$$$` line's LF resumes
    bool end_of_input_ = false;
};

// One block of a mapped file, with absolute offsets.
struct BlockSpan {
    std::size_t begin;
    std::size_t end;
    std::size_t dollar;    // start of the `$$$$` line, or npos
    std::size_t first_cr;  // first CR in [begin, end), `end` when none or not looked for
    bool borrowable;       // the range already is a finished block's text
};

// Whether [begin, end) can stand as a block's text as it is: it has a
// `$$$$` line, ending exactly in "$$$$\n" or "$$$$\r\n", and (when
// `check_cr`) no CR to translate.
bool is_finished_block(const char* data, const BlockSpan& span, bool check_cr) noexcept;

// Splits a mapped file a batch at a time (a batch covers every block that
// starts before 128 KiB past where it began) and hands the blocks out in
// order. With `release_pages` the pages well behind the reader are given back
// to the system after each batch; only set it for a file mapping.
class BatchSplitter {
  public:
    static constexpr std::size_t kBatchSize = kReadUnit;
    static constexpr std::size_t kKeepBehind = 1 << 20;
    static constexpr std::size_t kReleaseGrain = 1 << 16;

    // With `guard_faults` a SIGBUS while scanning (the mapped file shrank)
    // makes split_batch() return false instead of ending the process.
    BatchSplitter(const char* data, std::size_t size, bool universal, bool borrow,
                  bool release_pages, bool guard_faults = false) noexcept
        : data_(data),
          size_(size),
          universal_(universal),
          borrow_(borrow),
          release_pages_(release_pages),
          guard_faults_(guard_faults) {}

    bool has_ready() const noexcept { return !queue_.empty(); }
    bool exhausted() const noexcept { return queue_.empty() && split_ >= stop_; }

    // Splits only the blocks that start in [begin, stop): `begin` must be a
    // block start (see core/block_bounds). Call before the first batch.
    void restrict_to(std::size_t begin, std::size_t stop) noexcept {
        split_ = std::min(begin, size_);
        stop_ = std::min(stop, size_);
        released_ = split_ - split_ % kReleaseGrain;
    }

    // restrict_to() the blocks whose first byte lies in [start, stop), the
    // first of them found from `start` (see core/block_bounds). False when
    // the data could not be read there (see guard_faults).
    bool restrict_to_range(std::uint64_t start, std::uint64_t stop);

    // Splits the next batch into the queue, then releases pages. Runs
    // without Python; may throw std::bad_alloc. False when the data could
    // not be read to its end (see guard_faults).
    bool split_batch();
    BlockSpan pop() noexcept;
    const BlockSpan& front() const noexcept { return queue_.front(); }

    std::size_t split_offset() const noexcept { return split_; }
    std::size_t released_until() const noexcept { return released_; }

  private:
    void release_behind() noexcept;

    const char* data_;
    std::size_t size_;
    bool universal_;
    bool borrow_;
    bool release_pages_;
    bool guard_faults_;
    bool out_of_memory_ = false;
    std::size_t split_ = 0;
    std::size_t stop_ = size_;  // blocks that start here or later are not split
    std::size_t released_ = 0;
    std::deque<BlockSpan> queue_;
};

}  // namespace molvane::core
