#include "core/parallel_table.hpp"

#include <algorithm>
#include <utility>

#include "core/block_bounds.hpp"
#include "core/error.hpp"
#include "core/fault_guard.hpp"
#include "core/kinds_scan.hpp"
#include "core/mapped_reader.hpp"
#include "core/table_merge.hpp"

namespace molvane::core {

ParallelTableBuild::ParallelTableBuild(std::shared_ptr<const Mapping> mapping, TableOptions options,
                                       uint64_t begin, uint64_t end, unsigned threads,
                                       uint64_t min_range)
    : mapping_(std::move(mapping)),
      options_(std::move(options)),
      begin_(begin),
      end_(std::min<uint64_t>(end, mapping_->size())),
      threads_(std::max(threads, 1u)),
      min_range_(std::max<uint64_t>(min_range, 1)) {
    options_.defer_types = true;
}

ParallelTableBuild::~ParallelTableBuild() {
    cancel();
    for (std::thread& thread : threads_running_)
        if (thread.joinable()) thread.join();
}

bool ParallelTableBuild::start() {
    const uint64_t span = end_ > begin_ ? end_ - begin_ : 0;
    // A few ranges per thread, taken in turn, so that a thread slowed by the
    // rest of the machine holds up only a small range at the end.
    const uint64_t count =
        std::clamp<uint64_t>(span / min_range_, 1, uint64_t{threads_} * kRangesPerThread);
    std::vector<uint64_t> cuts{begin_};
    const char* data = mapping_->data();
    const size_t size = mapping_->size();
    const bool universal = !options_.is_bytes;
    install_fault_handler();
    for (uint64_t at = 1; at < count; ++at) {
        const auto from = static_cast<size_t>(begin_ + span * at / count);
        size_t cut = 0;
        auto find = [&]() noexcept { cut = next_block_start(data, size, from, universal); };
        if (!run_guarded(data, size, find)) return false;
        // A range holds at least one block start, or it is dropped.
        if (cut > cuts.back() && cut < end_) cuts.push_back(cut);
    }
    cuts.push_back(end_);
    ranges_.resize(cuts.size() - 1);
    for (size_t at = 0; at < ranges_.size(); ++at) {
        ranges_[at].begin = cuts[at];
        ranges_[at].end = cuts[at + 1];
    }
    const size_t workers = std::min<size_t>(threads_, ranges_.size());
    threads_running_.reserve(workers);
    for (size_t at = 0; at < workers; ++at)
        threads_running_.emplace_back([this] {
            // Ranges in input order: a failure stops the ranges after it.
            for (size_t next = next_range_++; next < ranges_.size(); next = next_range_++)
                run(next);
        });
    return true;
}

void ParallelTableBuild::stop_from(int64_t index) noexcept {
    int64_t current = stop_after_.load();
    while (index < current && !stop_after_.compare_exchange_weak(current, index)) {
    }
}

void ParallelTableBuild::cancel() noexcept {
    stop_from(-1);
}

void ParallelTableBuild::run(size_t index) noexcept {
    Range& range = ranges_[index];
    try {
        build(range, index);
    } catch (...) {
        // Out of memory outside any block.
        range.table.reset();
        range.failure.emplace();
        range.failure->error = std::current_exception();
        stop_from(static_cast<int64_t>(index));
    }
    std::lock_guard lock(mutex_);
    ++done_;
    done_changed_.notify_all();
}

// A range of a scan of kinds only, walked in the mapping (core/kinds_scan).
void ParallelTableBuild::scan(Range& range, size_t index) {
    const auto me = static_cast<int64_t>(index);
    KindsScan scan(mapping_, !options_.is_bytes);
    TableBuilder builder(options_);
    bool intact = scan.restrict_to(range.begin, range.end);
    while (intact && !scan.exhausted()) {
        if (stop_after_.load(std::memory_order_relaxed) < me) return;
        try {
            intact = scan.scan_batch(builder);
        } catch (...) {
            range.failure.emplace();
            range.failure->error = std::current_exception();
            range.failure->field = builder.failed_field();
            std::optional<Block> block = scan.failed_block(0);
            if (block)
                range.failure->block = std::move(*block);
            else
                range.failure->shrank = true;
            stop_from(me);
            return;
        }
    }
    if (!intact) {
        range.failure.emplace();
        range.failure->shrank = true;
        stop_from(me);
        return;
    }
    range.position = scan.position();
    range.table = builder.finish();
}

void ParallelTableBuild::build(Range& range, size_t index) {
    const auto me = static_cast<int64_t>(index);
    if (options_.kinds_only) {
        scan(range, index);
        return;
    }
    MappedReader reader(mapping_, !options_.is_bytes, false);
    TableBuilder builder(options_);
    Block block;
    uint64_t number = 0;
    bool reserved = false;
    bool intact = reader.restrict_to(range.begin, range.end);
    while (!reader.exhausted()) {
        // What an earlier range's failure or a cancel makes moot stops here.
        if (stop_after_.load(std::memory_order_relaxed) < me) return;
        if (!intact || (!reader.has_block() && !reader.read_batch())) {
            range.failure.emplace();
            range.failure->shrank = true;
            stop_from(me);
            return;
        }
        while (reader.has_block()) {
            block = reader.take();
            block.origin.number = number++;
            block.locate_mdl_end();
            try {
                builder.add(block);
            } catch (...) {
                range.failure.emplace();
                range.failure->error = std::current_exception();
                range.failure->field = builder.failed_field();
                range.failure->block = std::move(block);
                range.conversion = builder.conversion_failure();
                stop_from(me);
                return;
            }
        }
        if (!reserved && reader.position() > range.begin) {
            // The first batch tells how many rows the range will hold.
            reserved = true;
            const uint64_t span = std::min<uint64_t>(range.end, mapping_->size()) - range.begin;
            builder.reserve_rows(
                static_cast<int64_t>(span * number / (reader.position() - range.begin)));
        }
    }
    range.position = reader.position();
    range.table = builder.finish();
}

bool ParallelTableBuild::wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return done_changed_.wait_for(lock, timeout, [&] { return done_ == ranges_.size(); });
}

std::optional<Table> ParallelTableBuild::finish() {
    for (std::thread& thread : threads_running_)
        thread.join();
    threads_running_.clear();
    int64_t rows_before = 0;
    std::vector<Table> parts;
    parts.reserve(ranges_.size());
    for (Range& range : ranges_) {
        if (range.failure) {
            failure_ = std::move(*range.failure);
            if (failure_.block.origin.number != kUnknownOrigin)
                failure_.block.origin.number += static_cast<uint64_t>(rows_before);
            if (range.conversion) {
                // The row as counted over the whole build.
                try {
                    fail(ErrorKind::InvalidText,
                         conversion_message(*range.conversion, rows_before));
                } catch (...) {
                    failure_.error = std::current_exception();
                }
            }
            return std::nullopt;
        }
        expect(range.table.has_value(), "a table range ended without its table");
        rows_before += range.table->rows;
        parts.push_back(std::move(*range.table));
    }
    Table table = merge_tables(parts, options_, threads_);
    table.end = ranges_.empty() ? begin_ : ranges_.back().position;
    return table;
}

}  // namespace molvane::core
