#include "core/table_builder.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "core/error.hpp"
#include "core/number_text.hpp"
#include "core/record.hpp"
#include "core/utf8.hpp"

namespace molvane::core {

namespace {

Column new_column(std::string name, bool is_record) {
    Column column;
    column.name = std::move(name);
    column.is_record = is_record;
    return column;
}

[[noreturn]] void fail_collision(std::string_view record, std::string_view column_kind) {
    std::string message = "the record '";
    message.append(record).append("' has the name of the ").append(column_kind);
    message.append(" column; pass ").append(column_kind).append("= another name");
    fail(ErrorKind::InvalidText, std::move(message));
}

}  // namespace

void Column::append_at(int64_t row, std::string_view value) {
    if (!has_gap && row != value_count) {
        // The first row without a value: from here on each value keeps its row.
        has_gap = true;
        value_rows.resize(static_cast<size_t>(value_count));
        for (size_t k = 0; k < value_rows.size(); ++k)
            value_rows[k] = static_cast<int64_t>(k);
    }
    data.append(value);
    offsets.push_back(static_cast<int64_t>(data.size()));
    if (has_gap) value_rows.push_back(row);
    ++value_count;
}

void Column::append_typed_at(int64_t row, std::string_view value, const NumberValue* read) {
    if (kinds.all_reals) {
        const NumberValue number = read ? *read : read_number(value);
        const bool were_integers = kinds.all_integers;
        kinds.add(number);
        switch (number.kind) {
            case NumberKind::Empty: empty_values.push_back(value_count); break;
            case NumberKind::Integer:
                if (number.integer == 0 && std::signbit(number.real)) read_negative_zero = true;
                if (kinds.all_integers)
                    read_integers.push_back(number.integer);
                else
                    read_reals.push_back(number.real);
                break;
            case NumberKind::Float:
                if (were_integers) {
                    // An integer reads as the double it converts to.
                    read_reals.assign(read_integers.begin(), read_integers.end());
                    std::vector<int64_t>{}.swap(read_integers);
                }
                read_reals.push_back(number.real);
                break;
            case NumberKind::Text:
                std::vector<int64_t>{}.swap(read_integers);
                std::vector<double>{}.swap(read_reals);
                std::vector<int64_t>{}.swap(empty_values);
                break;
        }
    }
    append_at(row, value);
}

void Column::add_kinds(std::string_view value) noexcept {
    if (!kinds.settled()) kinds.add(read_number(value));
}

std::string_view Column::string_at(int64_t row) const noexcept {
    const auto start = static_cast<size_t>(offsets[static_cast<size_t>(row)]);
    const auto end = static_cast<size_t>(offsets[static_cast<size_t>(row) + 1]);
    return std::string_view(data).substr(start, end - start);
}

TableBuilder::TableBuilder(TableOptions options) : options_(std::move(options)) {
    if (options_.title) title_ = new_column(*options_.title, false);
    if (options_.molblock) molblock_ = new_column(*options_.molblock, false);
    if (options_.block) block_ = new_column(*options_.block, false);
    if (options_.columns) {
        for (const std::string& name : *options_.columns) {
            if (options_.title && name == *options_.title) fail_collision(name, "title");
            if (options_.molblock && name == *options_.molblock) fail_collision(name, "molblock");
            if (options_.block && name == *options_.block) fail_collision(name, "block");
            if (index_.find(name) != index_.end()) continue;
            index_.emplace(name, records_.size());
            records_.push_back(new_record_column(name));
        }
        staged_.resize(records_.size());
        staged_row_.assign(records_.size(), 0);
    }
}

Column TableBuilder::new_record_column(std::string name) const {
    Column column = new_column(std::move(name), true);
    for (const auto& [forced_name, type] : options_.forced)
        if (forced_name == column.name) column.forced = type;
    return column;
}

bool converts_to(std::string_view value, ColumnType type) noexcept {
    const NumberKind kind = read_number(value).kind;
    switch (type) {
        case ColumnType::String: return true;
        case ColumnType::Int64: return kind == NumberKind::Empty || kind == NumberKind::Integer;
        case ColumnType::Float64: return kind != NumberKind::Text;
    }
    return false;
}

void TableBuilder::check_conversion(const Column& column, std::string_view value, NumberKind kind,
                                    std::string_view title) {
    if (!options_.strict_conversion) return;
    const bool converts = *column.forced == ColumnType::Int64
                              ? kind == NumberKind::Empty || kind == NumberKind::Integer
                              : kind != NumberKind::Text;
    if (converts) return;
    conversion_failure_ =
        ConversionFailure{std::string(value.substr(0, 80)), column.name,
                          std::string(title.substr(0, 80)), *column.forced, rows_};
    fail(ErrorKind::InvalidText, conversion_message(*conversion_failure_, 0));
}

std::string conversion_message(const ConversionFailure& failure, int64_t row_base) {
    std::string message = "the value '";
    message.append(failure.value).append("' of record '").append(failure.record_name);
    message.append("' is not ").append(failure.type == ColumnType::Int64 ? "an int" : "a float");
    message.append(" (row ").append(std::to_string(row_base + failure.row));
    message.append(", the block titled '").append(failure.title).append("')");
    return message;
}

size_t TableBuilder::column_for(std::string_view name) {
    auto found = index_.find(name);
    if (found != index_.end()) return found->second;
    if (options_.columns) return npos;
    if (options_.title && name == *options_.title) fail_collision(name, "title");
    if (options_.molblock && name == *options_.molblock) fail_collision(name, "molblock");
    if (options_.block && name == *options_.block) fail_collision(name, "block");
    const size_t column = records_.size();
    index_.emplace(std::string(name), column);
    records_.push_back(new_record_column(std::string(name)));
    staged_.emplace_back();
    staged_row_.push_back(0);
    return column;
}

void TableBuilder::check_text(std::string_view text, FailedField::Part part,
                              std::string_view name) {
    if (options_.is_bytes) return;
    Utf8Check check = check_utf8(text);
    if (check.valid(text)) return;
    failed_.part = part;
    failed_.record_name.assign(name);
    throw DecodeError(std::string(text), check.valid_up_to, check.error_end);
}

void TableBuilder::stage(size_t column) {
    const int64_t stamp = rows_ + 1;
    if (staged_row_[column] != stamp) {
        staged_row_[column] = stamp;
        staged_columns_.push_back(column);
    }
}

// Stages the section's records for the current row; false when a header
// without a name made the builder skip them all.
bool TableBuilder::stage_records(std::string_view sd) {
    folded_.clear();
    staged_columns_.clear();
    try {
        RecordScanner scanner(sd);
        RecordSpan record;
        while (scanner.next(record)) {
            std::string_view name = record.name(sd);
            const size_t column = column_for(name);
            if (column == npos) continue;
            std::string_view value = record.raw_value(sd);
            if (record.value_has_crlf) {
                folded_.emplace_back(record_value(sd, record, scratch_));
                value = folded_.back();
            }
            staged_[column] = value;
            stage(column);
        }
    } catch (const Error& error) {
        if (error.kind() != ErrorKind::MalformedRecord || !options_.skip_malformed) throw;
        // Nothing staged for this row may stand.
        for (size_t column : staged_columns_)
            staged_row_[column] = 0;
        staged_columns_.clear();
        return false;
    }
    return true;
}

void TableBuilder::add(const Block& block) {
    // The whitespace after the last `$$$$` line is handed out as a piece of
    // its own, but it is no molecule: no row.
    if (block.trailing_whitespace != 0) return;
    expect(block.mdl_end != kUnknownOffset, "table row from a block without its mdl end");
    std::string_view text = block.view();
    const size_t dollar = block.dollar_start();
    std::string_view sd = text.substr(block.mdl_end, dollar - block.mdl_end);
    if (!stage_records(sd)) ++skipped_;
    if (options_.kinds_only) {
        for (size_t column : staged_columns_) {
            Column& target = records_[column];
            if (options_.infer_types && !target.forced) target.add_kinds(staged_[column]);
        }
        add_staged_kinds();
        return;
    }

    // Every check runs before the first column grows, so that a failure
    // leaves the columns of equal length.
    std::string_view title = block.title();
    if (title_) check_text(title, FailedField::Part::Title, {});
    std::string_view molblock = text.substr(0, block.mdl_end);
    if (molblock_) check_text(molblock, FailedField::Part::Molblock, {});
    if (block_) check_text(text, FailedField::Part::Block, {});
    if (staged_numbers_.size() < staged_.size()) staged_numbers_.resize(staged_.size());
    for (size_t column : staged_columns_) {
        const Column& target = records_[column];
        check_text(target.name, FailedField::Part::RecordName, target.name);
        check_text(staged_[column], FailedField::Part::RecordValue, target.name);
        if (target.forced && *target.forced != ColumnType::String) {
            // Read once, for the check and for the column.
            staged_numbers_[column] = read_number(staged_[column]);
            check_conversion(target, staged_[column], staged_numbers_[column].kind, title);
        }
    }

    // A column catches up with the rows without its record when it next
    // takes a value, or at the end: a row costs only the records it has.
    if (title_) title_->append_at(rows_, title);
    for (size_t column : staged_columns_) {
        Column& target = records_[column];
        // A column forced to a number keeps what it reads too, so that it
        // is laid out from its numbers rather than converted from its text.
        if (target.forced ? *target.forced != ColumnType::String : options_.infer_types)
            target.append_typed_at(rows_, staged_[column],
                                   target.forced ? &staged_numbers_[column] : nullptr);
        else
            target.append_at(rows_, staged_[column]);
    }
    if (molblock_) molblock_->append_at(rows_, molblock);
    if (block_) block_->append_at(rows_, text);
    ++rows_;
}

// The end of a row of a table of kinds only: the names staged are checked.
void TableBuilder::add_staged_kinds() {
    for (size_t column : staged_columns_) {
        Column& target = records_[column];
        if (!target.name_checked) {
            // A name is checked once, where a scan first meets it.
            check_text(target.name, FailedField::Part::RecordName, target.name);
            target.name_checked = true;
        }
    }
    ++rows_;
}

void TableBuilder::add_scanned(const ScannedRecord* records, size_t count, std::string_view names,
                               bool malformed) {
    expect(options_.kinds_only, "a scanned block added to a table of values");
    staged_columns_.clear();
    // As stage_records(): every name up to a header without one makes its
    // column, and the last value of a name in the block is the one that counts.
    // Blocks of one input mostly hold their records in one order: the
    // column that followed a column last time is tried before the index.
    size_t previous = npos;
    for (size_t at = 0; at < count; ++at) {
        const ScannedRecord& record = records[at];
        const std::string_view name = names.substr(record.name, record.name_size);
        size_t& follower = previous == npos ? first_record_ : follower_[previous];
        const bool hit = follower < records_.size() && records_[follower].name == name;
        const size_t column = hit ? follower : column_for(name);
        if (!hit) {
            follower_.resize(records_.size(), npos);
            // The resize may move follower_: the slot is found again.
            (previous == npos ? first_record_ : follower_[previous]) = column;
        }
        if (column == npos) continue;
        previous = column;
        if (staged_numbers_.size() < staged_.size()) staged_numbers_.resize(staged_.size());
        staged_numbers_[column] = record.number;
        stage(column);
    }
    if (malformed) {
        for (size_t column : staged_columns_)
            staged_row_[column] = 0;
        staged_columns_.clear();
        ++skipped_;
    }
    for (size_t column : staged_columns_) {
        Column& target = records_[column];
        if (options_.infer_types && !target.forced && !target.kinds.settled())
            target.kinds.add(staged_numbers_[column]);
    }
    add_staged_kinds();
}

void TableBuilder::reserve_rows(int64_t expected) {
    if (rows_ == 0 || expected <= rows_) return;
    // Half again what the rows so far predict, for the blocks that vary: room
    // never written costs no memory, a buffer that outgrows its room a copy.
    const double scale = static_cast<double>(expected) / static_cast<double>(rows_) * 1.5;
    auto grown = [scale](size_t size) {
        return static_cast<size_t>(static_cast<double>(size) * scale) + 1;
    };
    auto reserve = [&](Column& column) {
        column.data.reserve(grown(column.data.size()));
        column.offsets.reserve(grown(column.offsets.size()));
        if (column.has_gap) column.value_rows.reserve(grown(column.value_rows.size()));
    };
    if (title_) reserve(*title_);
    if (molblock_) reserve(*molblock_);
    if (block_) reserve(*block_);
    for (Column& column : records_)
        reserve(column);
}

ColumnType record_column_type(const Column& column, bool infer) noexcept {
    return column.kinds.type(column.forced, infer);
}

namespace {

// The row of a column's k-th value.
int64_t row_of(const Column& column, size_t k) noexcept {
    return column.has_gap ? column.value_rows[k] : static_cast<int64_t>(k);
}

void set_valid(std::vector<uint8_t>& validity, int64_t row) noexcept {
    const auto at = static_cast<size_t>(row);
    validity[at >> 3] = static_cast<uint8_t>(validity[at >> 3] | (1u << (at & 7)));
}

// Whether append_typed_at() read every value of `column` as a number that
// `type` holds, so that the column is typed from what it read.
bool numbers_were_read(const Column& column, ColumnType type) noexcept {
    if (type == ColumnType::String || !column.kinds.all_reals) return false;
    if (type == ColumnType::Float64 && column.read_negative_zero) return false;
    const size_t read = column.read_integers.size() + column.read_reals.size();
    if (read + column.empty_values.size() != static_cast<size_t>(column.value_count)) return false;
    return type == ColumnType::Float64 || column.kinds.all_integers;
}

// The values of `column` at their rows, the k-th non-empty value taking the
// k-th number; empty values stay null, as the rows without one.
template <class Value, class Number>
std::vector<Value> place_numbers(Column& column, int64_t rows, const std::vector<Number>& numbers) {
    std::vector<Value> out(static_cast<size_t>(rows));
    size_t next = 0;
    size_t next_empty = 0;
    int64_t valid = 0;
    const std::vector<int64_t>& empties = column.empty_values;
    for (size_t k = 0; k < static_cast<size_t>(column.value_count); ++k) {
        if (next_empty < empties.size() && static_cast<size_t>(empties[next_empty]) == k) {
            ++next_empty;
            continue;
        }
        const int64_t row = row_of(column, k);
        out[static_cast<size_t>(row)] = static_cast<Value>(numbers[next++]);
        set_valid(column.validity, row);
        ++valid;
    }
    column.null_count = rows - valid;
    return out;
}

// The string layout: an offset per row, a row without a value empty.
void lay_out_strings(Column& column, int64_t rows) {
    const auto count = static_cast<size_t>(column.value_count);
    if (!column.has_gap) {
        // The values fill the first rows: only rows at the end lack one.
        std::fill(column.validity.begin(), column.validity.begin() + (count >> 3), 0xFF);
        for (size_t row = count & ~size_t{7}; row < count; ++row)
            set_valid(column.validity, static_cast<int64_t>(row));
        column.offsets.resize(static_cast<size_t>(rows) + 1, column.offsets.back());
    } else {
        std::vector<int64_t> per_row(static_cast<size_t>(rows) + 1);
        size_t row = 0;  // the first row whose start is not written yet
        for (size_t k = 0; k < count; ++k) {
            const auto at = static_cast<size_t>(column.value_rows[k]);
            // The rows up to this value's start where it starts: they are empty.
            std::fill(per_row.begin() + static_cast<std::ptrdiff_t>(row),
                      per_row.begin() + static_cast<std::ptrdiff_t>(at) + 1, column.offsets[k]);
            set_valid(column.validity, column.value_rows[k]);
            row = at + 1;
        }
        std::fill(per_row.begin() + static_cast<std::ptrdiff_t>(row), per_row.end(),
                  column.offsets[count]);
        column.offsets = std::move(per_row);
    }
    column.null_count = rows - column.value_count;
}

// A laid-out string column's values as `type`, those that do not convert null.
void convert_strings(Column& column, ColumnType type) {
    const bool all_integers = type == ColumnType::Int64;
    std::vector<uint8_t> validity(column.validity.size(), 0);
    int64_t valid_count = 0;
    std::vector<int64_t> integers;
    std::vector<double> reals;
    if (all_integers)
        integers.resize(static_cast<size_t>(column.length));
    else
        reals.resize(static_cast<size_t>(column.length));
    // A validity byte of nulls skips its eight rows, whose values stay zero.
    for (size_t byte = 0; byte < column.validity.size(); ++byte) {
        const uint8_t bits = column.validity[byte];
        if (bits == 0) continue;
        uint8_t converted = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (!((bits >> bit) & 1)) continue;
            const size_t at = byte * 8 + bit;
            const NumberValue number = read_number(column.string_at(static_cast<int64_t>(at)));
            if (number.kind == NumberKind::Integer) {
                if (all_integers)
                    integers[at] = number.integer;
                else
                    reals[at] = number.real;
            } else if (number.kind == NumberKind::Float && !all_integers) {
                reals[at] = number.real;
            } else {
                continue;
            }
            converted = static_cast<uint8_t>(converted | (1u << bit));
            ++valid_count;
        }
        validity[byte] = converted;
    }
    column.validity = std::move(validity);
    column.null_count = column.length - valid_count;
    column.integers = std::move(integers);
    column.reals = std::move(reals);
    std::vector<int64_t>{}.swap(column.offsets);
    std::string{}.swap(column.data);
}

// Whether `text` is an integer as from_table writes it: no sign but a
// minus, no leading zero, no blanks ("0" itself, but not "-0").
bool is_plain_integer(std::string_view text) noexcept {
    const size_t at = !text.empty() && text[0] == '-' ? 1 : 0;
    if (at == text.size() || (text[at] == '0' && (text.size() > at + 1 || at == 1))) return false;
    for (size_t i = at; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// Column::texts of a record column about to be laid out as `type`; the
// values are still in the order appended.
void keep_written_texts(Column& column, ColumnType type) {
    column.texts.clear();
    if (!column.is_record || type == ColumnType::String) return;
    std::unordered_set<std::string> seen;
    char written[kNumberTextSize];
    for (size_t k = 0; k < static_cast<size_t>(column.value_count); ++k) {
        const auto begin = static_cast<size_t>(column.offsets[k]);
        const std::string_view text(column.data.data() + begin,
                                    static_cast<size_t>(column.offsets[k + 1]) - begin);
        const NumberValue number = read_number(text);
        size_t size = 0;
        if (number.kind == NumberKind::Integer && type == ColumnType::Int64) {
            if (is_plain_integer(text)) continue;
            size = integer_text(number.integer, written);
        } else if (number.kind == NumberKind::Integer || number.kind == NumberKind::Float) {
            if (type != ColumnType::Float64) continue;
            size = real_text(number.real, written);
        } else {
            continue;  // empty, or text that becomes null
        }
        const std::string_view canonical(written, size);
        if (canonical == text || !seen.emplace(canonical).second) continue;
        column.texts.emplace_back(canonical, text);
    }
}

}  // namespace

void finish_column(Column& column, int64_t rows, ColumnType type) {
    keep_written_texts(column, type);
    column.length = rows;
    column.validity.assign(static_cast<size_t>((rows + 7) >> 3), 0);
    if (numbers_were_read(column, type)) {
        if (type == ColumnType::Int64)
            column.integers = place_numbers<int64_t>(column, rows, column.read_integers);
        else if (column.kinds.all_integers)
            column.reals = place_numbers<double>(column, rows, column.read_integers);
        else
            column.reals = place_numbers<double>(column, rows, column.read_reals);
        std::vector<int64_t>{}.swap(column.offsets);
        std::string{}.swap(column.data);
    } else {
        lay_out_strings(column, rows);
        if (type != ColumnType::String) convert_strings(column, type);
    }
    column.type = type;
    std::vector<int64_t>{}.swap(column.value_rows);
    std::vector<int64_t>{}.swap(column.read_integers);
    std::vector<double>{}.swap(column.read_reals);
    std::vector<int64_t>{}.swap(column.empty_values);
}

Table TableBuilder::finish() {
    Table table;
    // A table of kinds only has its columns and no rows.
    const int64_t rows = options_.kinds_only ? 0 : rows_;
    table.rows = rows;
    table.scanned = static_cast<uint64_t>(rows_);
    table.is_bytes = options_.is_bytes;
    table.skipped = skipped_;
    table.counts_skipped = options_.skip_malformed && !options_.kinds_only;
    table.columns.reserve(records_.size() + 3);
    if (title_) {
        finish_column(*title_, rows, ColumnType::String);
        table.columns.push_back(std::move(*title_));
    }
    for (Column& column : records_) {
        // Deferred columns are laid out by merge_tables(), typed over every part.
        if (!options_.defer_types) {
            table.kinds.emplace_back(column.name, column.kinds);
            finish_column(column, rows, record_column_type(column, options_.infer_types));
        }
        table.columns.push_back(std::move(column));
    }
    for (std::optional<Column>* text : {&molblock_, &block_}) {
        if (!*text) continue;
        finish_column(**text, rows, ColumnType::String);
        table.columns.push_back(std::move(**text));
    }
    records_.clear();
    index_.clear();
    return table;
}

}  // namespace molvane::core
