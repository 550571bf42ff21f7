#include "core/split.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "core/block_bounds.hpp"
#include "core/dollar_line.hpp"
#include "core/error.hpp"
#include "core/fault_guard.hpp"

namespace molvane::core {

namespace {

bool dollars_at(const char* data, std::size_t size, std::size_t at) noexcept {
    return starts_with_dollars(std::string_view(data + at, size - at));
}

// First occurrence of `byte` in [from, to), or npos.
std::size_t find_in(const char* data, std::size_t from, std::size_t to, char byte) noexcept {
    if (from >= to) return npos;
    const void* hit = std::memchr(data + from, byte, to - from);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data) : npos;
}

std::size_t page_size() noexcept {
    static const std::size_t size = [] {
        long value = sysconf(_SC_PAGESIZE);
        return value > 0 ? static_cast<std::size_t>(value) : std::size_t{4096};
    }();
    return size;
}

}  // namespace

std::size_t DollarNeedle::find_line_start(const char* data, std::size_t size,
                                          std::size_t from) const noexcept {
    // Candidate starts p need a line break at p - 1 >= from and "$$$$" in [p, p + 4).
    if (size < 5 || from > size - 5) return npos;
    const std::size_t last = size - 4;
    std::size_t p = from + 1;
    while (p <= last) {
        std::size_t hit = find_in(data, p, last + 1, '$');
        if (hit == npos) return npos;
        const char before = data[hit - 1];
        const bool at_line_start = before == '\n' || (universal_ && before == '\r');
        if (at_line_start && std::memcmp(data + hit + 1, kDollars.data(), 3) == 0) return hit;
        // No position inside a run of '$' follows a line break: skip the run.
        std::size_t after = hit + 1;
        while (after <= last && data[after] == '$')
            ++after;
        p = after + 1;
    }
    return npos;
}

const DollarNeedle& lf_needle() noexcept {
    static const DollarNeedle needle(false);
    return needle;
}

const DollarNeedle& universal_needle() noexcept {
    static const DollarNeedle needle(true);
    return needle;
}

Split split_lf(const char* data, std::size_t size, std::size_t start, std::size_t resume) noexcept {
    std::size_t dollar =
        dollars_at(data, size, start) ? start : lf_needle().find_line_start(data, size, resume);
    if (dollar == npos) return {size, npos, size};
    std::size_t lf = find_in(data, dollar + 4, size, '\n');
    std::size_t end = lf == npos ? size : lf + 1;
    return {end, dollar, end};
}

namespace {

// Universal rule: the `$$$$` line at `dollar` and the end of its block.
Split universal_step(const char* data, std::size_t size, std::size_t start) noexcept {
    std::size_t dollar = dollars_at(data, size, start)
                             ? start
                             : universal_needle().find_line_start(data, size, start);
    std::size_t end = size;
    if (dollar != npos) {
        std::size_t lf = find_in(data, dollar + 4, size, '\n');
        std::size_t cr = find_in(data, dollar + 4, lf == npos ? size : lf, '\r');
        if (cr != npos) {
            end = cr + 1;
            if (end < size && data[end] == '\n') ++end;
        } else if (lf != npos) {
            end = lf + 1;
        }
    }
    return {end, dollar, end};
}

}  // namespace

Split split_universal(const char* data, std::size_t size, std::size_t start) noexcept {
    Split step = universal_step(data, size, start);
    std::size_t first_cr = find_in(data, start, step.end, '\r');
    step.first_cr = first_cr == npos ? step.end : first_cr;
    return step;
}

std::size_t block_end(const char* data, std::size_t size, std::size_t start,
                      bool universal) noexcept {
    return universal ? universal_step(data, size, start).end : split_lf(data, size, start).end;
}

// ---------------------------------------------------------------------------
// Chunk splitter

ChunkSplitter::Status ChunkSplitter::next(Block& block) {
    if (start_ == filled_) return end_of_input_ ? Status::End : Status::NeedInput;
    const char* data = buffer_.get();
    if (dollar_ == npos) {
        if (filled_ - start_ < 4 && !end_of_input_) return Status::NeedInput;
        std::size_t dollar = dollars_at(data, filled_, start_)
                                 ? start_
                                 : lf_needle().find_line_start(data, filled_, resume_);
        if (dollar == npos) {
            if (end_of_input_) {
                block = {data + start_, filled_ - start_, npos};
                start_ = resume_ = line_scan_ = filled_;
                return Status::Block;
            }
            // A "\n$$$$" cut by the end of the data starts within its last 4 bytes.
            resume_ = std::max(filled_ >= 4 ? filled_ - 4 : 0, start_);
            return Status::NeedInput;
        }
        dollar_ = dollar;
        line_scan_ = dollar + 4;
    }
    std::size_t lf = find_in(data, line_scan_, filled_, '\n');
    std::size_t end;
    if (lf != npos) {
        end = lf + 1;
    } else if (end_of_input_) {
        end = filled_;
    } else {
        line_scan_ = std::max(line_scan_, filled_);
        return Status::NeedInput;
    }
    block = {data + start_, end - start_, dollar_ - start_};
    start_ = resume_ = line_scan_ = end;
    dollar_ = npos;
    return Status::Block;
}

void ChunkSplitter::compact() noexcept {
    if (start_ == 0) return;
    std::size_t tail = filled_ - start_;
    if (tail != 0) std::memmove(buffer_.get(), buffer_.get() + start_, tail);
    filled_ = tail;
    resume_ -= start_;
    line_scan_ -= start_;
    if (dollar_ != npos) dollar_ -= start_;
    start_ = 0;
}

void ChunkSplitter::reallocate(std::size_t size) {
    char* moved = static_cast<char*>(std::realloc(buffer_.get(), size));
    if (moved == nullptr) throw std::bad_alloc();
    static_cast<void>(buffer_.release());  // realloc took it over
    buffer_.reset(moved);
    capacity_ = size;
}

char* ChunkSplitter::append_space(std::size_t len) {
    compact();
    if (len > capacity_ - filled_) {
        if (len > static_cast<std::size_t>(PTRDIFF_MAX) - filled_) throw std::bad_alloc();
        std::size_t needed = filled_ + len;
        reallocate(std::max({needed, capacity_ * 2, std::size_t{8}}));
    }
    return buffer_.get() + filled_;
}

std::shared_ptr<const char> ChunkSplitter::take_block(const Block& block, std::size_t keep,
                                                      std::string_view append) {
    const std::size_t begin = static_cast<std::size_t>(block.data - buffer_.get());
    if (block.data < buffer_.get() || begin + block.size != start_ || keep > block.size) {
        fail(ErrorKind::Internal, "the chunk splitter was asked for a block it did not yield");
    }
    // The unread bytes go first to a buffer of their own.
    const std::size_t tail = filled_ - start_;
    Buffer rest;
    if (tail != 0) {
        rest.reset(static_cast<char*>(std::malloc(tail)));
        if (!rest) throw std::bad_alloc();
        std::memcpy(rest.get(), buffer_.get() + start_, tail);
    }
    auto owner = std::make_shared<Buffer>();
    // Then the block's buffer is cut (or grown a few bytes) to its text.
    reallocate(begin + keep + append.size());
    std::copy(append.begin(), append.end(), buffer_.get() + begin + keep);
    *owner = std::move(buffer_);
    std::shared_ptr<const char> taken(owner, owner->get() + begin);
    buffer_ = std::move(rest);
    capacity_ = filled_ = tail;
    start_ = resume_ = line_scan_ = 0;
    dollar_ = npos;
    return taken;
}

void ChunkSplitter::commit(std::size_t len) {
    if (len > capacity_ - filled_) {
        fail(ErrorKind::Internal, "commit past the space the chunk splitter handed out");
    }
    filled_ += len;
}

void ChunkSplitter::append(const char* data, std::size_t len) {
    if (len == 0) return;
    char* space = append_space(len);
    std::memcpy(space, data, len);
    commit(len);
}

void ChunkSplitter::reset() noexcept {
    buffer_.reset();
    capacity_ = filled_ = start_ = resume_ = line_scan_ = 0;
    dollar_ = npos;
    end_of_input_ = false;
}

// ---------------------------------------------------------------------------
// Batch splitter

bool is_finished_block(const char* data, const BlockSpan& span, bool check_cr) noexcept {
    if (span.dollar == npos) return false;
    if (check_cr && span.first_cr != span.end) return false;
    std::size_t title_end = span.begin;
    if (span.dollar != span.begin) {
        std::size_t lf = find_in(data, span.begin, span.end, '\n');
        if (lf == npos) return false;
        title_end = lf + 1;
    }
    std::size_t terminator = std::max(span.dollar, title_end);
    return is_terminator_line(std::string_view(data + terminator, span.end - terminator));
}

bool BatchSplitter::restrict_to_range(std::uint64_t start, std::uint64_t stop) {
    const std::size_t from = start < size_ ? static_cast<std::size_t>(start) : size_;
    const std::size_t until = stop < size_ ? static_cast<std::size_t>(stop) : size_;
    std::size_t begin = size_;
    auto find = [&]() noexcept { begin = next_block_start(data_, size_, from, universal_); };
    const bool intact = guard_faults_ ? run_guarded(data_, size_, find) : (find(), true);
    if (!intact) return false;
    // A range that ends before its first block holds none.
    restrict_to(begin, begin < until ? until : begin);
    return true;
}

bool BatchSplitter::split_batch() {
    if (split_ >= stop_) return true;
    const std::size_t limit = split_ > SIZE_MAX - kBatchSize ? SIZE_MAX : split_ + kBatchSize;
    // Only the scans read the mapping; the queue is the caller's, so a fault
    // leaves it holding the spans found before.
    auto scan = [this, limit]() noexcept {
        do {
            Split step =
                universal_ ? split_universal(data_, size_, split_) : split_lf(data_, size_, split_);
            BlockSpan span{split_, step.end, step.dollar, universal_ ? step.first_cr : step.end,
                           false};
            if (borrow_) span.borrowable = is_finished_block(data_, span, universal_);
            try {
                queue_.push_back(span);
            } catch (...) {
                out_of_memory_ = true;
                return;
            }
            split_ = step.end;
        } while (split_ < limit && split_ < stop_);
    };
    const bool intact = guard_faults_ ? run_guarded(data_, size_, scan) : (scan(), true);
    if (out_of_memory_) {
        out_of_memory_ = false;
        throw std::bad_alloc();
    }
    if (intact) release_behind();
    return intact;
}

BlockSpan BatchSplitter::pop() noexcept {
    BlockSpan span = queue_.front();
    queue_.pop_front();
    return span;
}

void BatchSplitter::release_behind() noexcept {
    if (!release_pages_) return;
    std::size_t until = split_ > kKeepBehind ? split_ - kKeepBehind : 0;
    // Blocks still queued are read from the mapping later; keep their pages.
    if (!queue_.empty()) until = std::min(until, queue_.front().begin);
    until -= until % kReleaseGrain;
    if (until < kKeepBehind || released_ > until - kKeepBehind) return;
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(data_ + released_);
    const std::uintptr_t aligned = first - first % page_size();
    const std::uintptr_t stop = reinterpret_cast<std::uintptr_t>(data_ + until);
    if (madvise(reinterpret_cast<void*>(aligned), stop - aligned, MADV_DONTNEED) == 0) {
        released_ = until;
    }
}

}  // namespace molvane::core
