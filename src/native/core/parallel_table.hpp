// A table built from a mapped file by several threads: the file is cut into
// byte ranges on block boundaries, each range is built by its own thread,
// and the parts are merged into exactly the table one thread would build.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/block.hpp"
#include "core/mapped.hpp"
#include "core/table_builder.hpp"

namespace molvane::core {

// Why a build stopped: the first failing block in input order.
struct TableFailure {
    std::exception_ptr error;  // what add() threw; null when the file shrank
    bool shrank = false;       // the mapped file turned out shorter than its mapping
    Block block;               // the block that failed, numbered over the whole build
    FailedField field;
};

class ParallelTableBuild {
  public:
    // Builds the blocks that start in [begin, end) of `mapping` (begin a
    // block start) in `threads` threads, in ranges of at least `min_range` bytes.
    ParallelTableBuild(std::shared_ptr<const Mapping> mapping, TableOptions options, uint64_t begin,
                       uint64_t end, unsigned threads, uint64_t min_range);
    ParallelTableBuild(const ParallelTableBuild&) = delete;
    ParallelTableBuild& operator=(const ParallelTableBuild&) = delete;
    // Cancels and waits for the threads.
    ~ParallelTableBuild();

    // Cuts the ranges and starts their threads; false when the file shrank
    // while it was cut. May throw std::system_error or std::bad_alloc.
    bool start();
    // Waits up to `timeout`; true when every range is done.
    bool wait_for(std::chrono::milliseconds timeout);
    // Makes the threads stop at their next batch.
    void cancel() noexcept;
    // After every range is done: the merged table, or nothing when a block
    // failed (see failure()).
    std::optional<Table> finish();
    const TableFailure& failure() const noexcept { return failure_; }

  private:
    struct Range {
        uint64_t begin = 0;
        uint64_t end = 0;
        uint64_t position = 0;  // just past the range's last block
        std::optional<Table> table;
        std::optional<TableFailure> failure;
        std::optional<ConversionFailure> conversion;
    };

    void run(size_t index) noexcept;
    void build(Range& range, size_t index);
    void scan(Range& range, size_t index);
    void stop_from(int64_t index) noexcept;

    std::shared_ptr<const Mapping> mapping_;
    TableOptions options_;
    uint64_t begin_;
    uint64_t end_;
    unsigned threads_;
    uint64_t min_range_;
    static constexpr uint64_t kRangesPerThread = 8;

    std::vector<Range> ranges_;
    std::atomic<size_t> next_range_{0};  // the next range a thread takes
    std::vector<std::thread> threads_running_;
    // Ranges after this one need not go on: an earlier range failed (-1: cancelled).
    std::atomic<int64_t> stop_after_{INT64_MAX};
    std::mutex mutex_;
    std::condition_variable done_changed_;
    size_t done_ = 0;
    TableFailure failure_;
};

}  // namespace molvane::core
