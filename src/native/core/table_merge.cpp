#include "core/table_merge.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace molvane::core {

namespace {

struct Typing {
    ColumnType type = ColumnType::String;
    ValueKinds kinds;
    std::optional<ColumnType> forced;
};

// A column of `rows` nulls of `type`, for a part without the record. It
// owns no buffers: most parts of a sparse table lack most records, and one
// buffer of zeros per part stands for them all.
Column null_column(const Column& like, ColumnType type, int64_t rows) {
    Column out;
    out.name = like.name;
    out.is_record = like.is_record;
    out.forced = like.forced;
    out.type = type;
    out.length = rows;
    out.null_count = rows;
    out.offsets.clear();
    out.shares_zeros = true;
    return out;
}

}  // namespace

Table merge_tables(std::vector<Table>& parts, const TableOptions& options, unsigned threads) {
    Table table;
    table.is_bytes = options.is_bytes;
    table.counts_skipped = options.skip_malformed && !options.kinds_only;
    // The names in first-seen order, and where each part holds each name.
    std::unordered_map<std::string_view, size_t> index;
    std::vector<std::string_view> names;
    std::vector<Typing> typings;
    std::vector<std::vector<Column*>> holders;  // [name][part]
    for (size_t p = 0; p < parts.size(); ++p) {
        table.rows += parts[p].rows;
        table.skipped += parts[p].skipped;
        table.scanned += parts[p].scanned;
        for (Column& column : parts[p].columns) {
            if (!column.is_record) continue;
            auto [found, added] = index.try_emplace(column.name, names.size());
            if (added) {
                names.push_back(column.name);
                typings.push_back(Typing{ColumnType::String, ValueKinds{}, column.forced});
                holders.emplace_back(parts.size(), nullptr);
            }
            Typing& typing = typings[found->second];
            typing.kinds.join(column.kinds);
            holders[found->second][p] = &column;
        }
    }
    table.kinds.reserve(names.size());
    for (size_t n = 0; n < names.size(); ++n) {
        Typing& typing = typings[n];
        typing.type = typing.kinds.type(typing.forced, options.infer_types);
        table.kinds.emplace_back(std::string(names[n]), typing.kinds);
    }

    // Every part gets the columns in the one order, typed alike, so that
    // the parts are the batches of one table: title, records, molblock, block.
    const size_t leading = options.title ? 1 : 0;
    const size_t trailing = (options.molblock ? 1 : 0) + (options.block ? 1 : 0);
    std::vector<Column> likes;  // name and kind of each record column, before any moves
    likes.reserve(names.size());
    for (size_t n = 0; n < names.size(); ++n) {
        size_t p = 0;
        while (!holders[n][p])
            ++p;
        likes.push_back(null_column(*holders[n][p], typings[n].type, 0));
    }
    std::vector<std::vector<Column>> uniform(parts.size());
    // Each part lays out its own columns with the types found over all parts
    // and fills the columns it lacks with nulls: the parts share nothing,
    // so the threads take them in turn.
    auto finish_part = [&](size_t p) {
        std::vector<Column>& columns = uniform[p];
        std::vector<Column>& own = parts[p].columns;
        columns.reserve(leading + names.size() + trailing);
        for (size_t at = 0; at < leading; ++at)
            columns.push_back(std::move(own[at]));
        for (size_t n = 0; n < names.size(); ++n) {
            if (Column* held = holders[n][p]) {
                finish_column(*held, parts[p].rows, typings[n].type);
                columns.push_back(std::move(*held));
            } else {
                columns.push_back(null_column(likes[n], typings[n].type, parts[p].rows));
                if (parts[p].zeros.empty())
                    parts[p].zeros.assign(static_cast<size_t>(parts[p].rows) + 1, 0);
            }
        }
        for (size_t at = own.size() - trailing; at < own.size(); ++at)
            columns.push_back(std::move(own[at]));
    };
    const size_t workers = std::min<size_t>(std::max(threads, 1u), parts.size());
    if (workers <= 1) {
        for (size_t p = 0; p < parts.size(); ++p)
            finish_part(p);
    } else {
        std::atomic<size_t> next{0};
        std::mutex failed_mutex;
        std::exception_ptr failed;  // out of memory in a thread, raised here
        auto take_parts = [&]() noexcept {
            try {
                for (size_t p = next++; p < parts.size(); p = next++)
                    finish_part(p);
            } catch (...) {
                next = parts.size();
                std::lock_guard lock(failed_mutex);
                if (!failed) failed = std::current_exception();
            }
        };
        std::vector<std::thread> running;
        running.reserve(workers - 1);
        for (size_t w = 1; w < workers; ++w)
            running.emplace_back(take_parts);
        take_parts();
        for (std::thread& thread : running)
            thread.join();
        if (failed) std::rethrow_exception(failed);
    }
    // The texts of each record column over all parts, in row order, as one
    // build keeps them (a number's first text wins); the schema, and so
    // every batch, carries them from the first part.
    std::vector<std::vector<std::pair<std::string, std::string>>> texts(names.size());
    for (size_t n = 0; n < names.size(); ++n) {
        std::unordered_set<std::string> seen;
        for (std::vector<Column>& columns : uniform)
            for (auto& pair : columns[leading + n].texts)
                if (seen.insert(pair.first).second) texts[n].push_back(std::move(pair));
    }
    for (size_t p = 0; p < parts.size(); ++p) {
        // Empty parts add nothing but a batch of no rows.
        if (parts[p].rows == 0 && !(p + 1 == parts.size() && table.parts.empty())) continue;
        Table part;
        part.rows = parts[p].rows;
        part.is_bytes = options.is_bytes;
        part.columns = std::move(uniform[p]);
        part.zeros = std::move(parts[p].zeros);
        table.parts.push_back(std::move(part));
    }
    if (!table.parts.empty())
        for (size_t n = 0; n < names.size(); ++n)
            table.parts.front().columns[leading + n].texts = std::move(texts[n]);
    parts.clear();
    return table;
}

}  // namespace molvane::core
