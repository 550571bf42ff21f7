#include "core/table_merge.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

namespace molvane::core {

namespace {

struct Typing {
    ColumnType type = ColumnType::String;
    bool any_number = false;
    bool all_integers = true;
    bool all_reals = true;
    std::optional<ColumnType> forced;
};

// Appends the validity bits of `part` after the `out.length` bits of `out`.
void append_validity(std::vector<uint8_t>& out, int64_t out_length, const Column& part) {
    const auto shift = static_cast<unsigned>(out_length & 7);
    const auto bytes = static_cast<size_t>((part.length + 7) >> 3);
    if (shift == 0) {
        out.insert(out.end(), part.validity.begin(),
                   part.validity.begin() + static_cast<std::ptrdiff_t>(bytes));
        return;
    }
    // Bits past a column's length are clear, so whole bytes can be shifted in.
    for (size_t at = 0; at < bytes; ++at) {
        const unsigned byte = part.validity[at];
        out.back() = static_cast<uint8_t>(out.back() | (byte << shift));
        out.push_back(static_cast<uint8_t>(byte >> (8 - shift)));
    }
    out.resize(static_cast<size_t>((out_length + part.length + 7) >> 3));
}

void append_part(Column& out, Column& part) {
    append_validity(out.validity, out.length, part);
    switch (out.type) {
        case ColumnType::String: {
            const int64_t base = static_cast<int64_t>(out.data.size()) - part.offsets.front();
            out.offsets.reserve(out.offsets.size() + static_cast<size_t>(part.length));
            for (size_t row = 1; row < part.offsets.size(); ++row)
                out.offsets.push_back(part.offsets[row] + base);
            out.data.append(part.data);
            break;
        }
        case ColumnType::Int64:
            out.integers.insert(out.integers.end(), part.integers.begin(), part.integers.end());
            break;
        case ColumnType::Float64:
            out.reals.insert(out.reals.end(), part.reals.begin(), part.reals.end());
            break;
    }
    out.length += part.length;
    out.null_count += part.null_count;
    part = Column();
}

void append_absent(Column& out, int64_t rows) {
    switch (out.type) {
        case ColumnType::String: out.append_nulls(rows); return;
        case ColumnType::Int64:
            out.integers.resize(out.integers.size() + static_cast<size_t>(rows), 0);
            break;
        case ColumnType::Float64:
            out.reals.resize(out.reals.size() + static_cast<size_t>(rows), 0.0);
            break;
    }
    out.length += rows;
    out.null_count += rows;
    out.validity.resize(static_cast<size_t>((out.length + 7) >> 3), 0);
}

Column empty_like(const Column& column, ColumnType type) {
    Column out;
    out.name = column.name;
    out.is_record = column.is_record;
    out.forced = column.forced;
    out.type = type;
    if (type != ColumnType::String) out.offsets.clear();
    return out;
}

}  // namespace

Table merge_tables(std::vector<Table>& parts, const TableOptions& options, unsigned threads) {
    Table table;
    table.is_bytes = options.is_bytes;
    // The names in first-seen order, and where each part holds each name.
    std::unordered_map<std::string_view, size_t> index;
    std::vector<std::string_view> names;
    std::vector<Typing> typings;
    std::vector<std::vector<Column*>> holders;  // [name][part]
    for (size_t p = 0; p < parts.size(); ++p) {
        table.rows += parts[p].rows;
        table.skipped += parts[p].skipped;
        for (Column& column : parts[p].columns) {
            if (!column.is_record) continue;
            auto [found, added] = index.try_emplace(column.name, names.size());
            if (added) {
                names.push_back(column.name);
                typings.push_back(Typing{ColumnType::String, false, true, true, column.forced});
                holders.emplace_back(parts.size(), nullptr);
            }
            Typing& typing = typings[found->second];
            typing.any_number = typing.any_number || column.any_number;
            typing.all_integers = typing.all_integers && column.all_integers;
            typing.all_reals = typing.all_reals && column.all_reals;
            holders[found->second][p] = &column;
        }
    }
    for (Typing& typing : typings) {
        if (typing.forced)
            typing.type = *typing.forced;
        else if (options.infer_types && typing.any_number && typing.all_reals)
            typing.type = typing.all_integers ? ColumnType::Int64 : ColumnType::Float64;
    }

    // Every part converts its own values to the types found over all parts.
    auto convert_part = [&](size_t p) {
        for (size_t n = 0; n < names.size(); ++n)
            if (Column* column = holders[n][p]) convert_column(*column, typings[n].type);
    };
    const size_t workers = std::min<size_t>(std::max(threads, 1u), parts.size());
    if (workers <= 1) {
        for (size_t p = 0; p < parts.size(); ++p)
            convert_part(p);
    } else {
        std::vector<std::thread> running;
        running.reserve(workers - 1);
        auto stride = [&](size_t first) {
            for (size_t p = first; p < parts.size(); p += workers)
                convert_part(p);
        };
        for (size_t w = 1; w < workers; ++w)
            running.emplace_back(stride, w);
        stride(0);
        for (std::thread& thread : running)
            thread.join();
    }

    // The columns, in the builder's order: title, records, molblock, block.
    if (parts.empty()) return table;
    const Table& first = parts.front();
    const size_t leading = options.title ? 1 : 0;
    const size_t trailing = (options.molblock ? 1 : 0) + (options.block ? 1 : 0);
    auto concatenate = [&](auto&& column_of, const Column& like, ColumnType type) {
        Column out = empty_like(like, type);
        for (size_t p = 0; p < parts.size(); ++p) {
            if (Column* column = column_of(p))
                append_part(out, *column);
            else
                append_absent(out, parts[p].rows);
        }
        table.columns.push_back(std::move(out));
    };
    table.columns.reserve(names.size() + leading + trailing);
    if (leading)
        concatenate([&](size_t p) { return &parts[p].columns.front(); }, first.columns.front(),
                    ColumnType::String);
    for (size_t n = 0; n < names.size(); ++n) {
        size_t p = 0;
        while (!holders[n][p])
            ++p;
        const Column like = empty_like(*holders[n][p], typings[n].type);
        concatenate([&](size_t q) { return holders[n][q]; }, like, typings[n].type);
    }
    // The molblock and block columns close every part, after its records.
    for (size_t back = trailing; back > 0; --back) {
        auto at_back = [&](size_t p) { return &parts[p].columns[parts[p].columns.size() - back]; };
        concatenate(at_back, *at_back(0), ColumnType::String);
    }
    return table;
}

}  // namespace molvane::core
