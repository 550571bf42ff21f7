#include "core/table_builder.hpp"

#include <utility>

#include "core/error.hpp"
#include "core/number_text.hpp"
#include "core/record.hpp"
#include "core/utf8.hpp"

namespace molvane::core {

namespace {

void push_validity(Column& column, bool valid) {
    const auto bit = static_cast<size_t>(column.length & 7);
    if (bit == 0) column.validity.push_back(0);
    if (valid)
        column.validity.back() = static_cast<uint8_t>(column.validity.back() | (1u << bit));
    else
        ++column.null_count;
    ++column.length;
}

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

void Column::append(std::string_view value) {
    push_validity(*this, true);
    data.append(value);
    offsets.push_back(static_cast<int64_t>(data.size()));
}

void Column::append_typed(std::string_view value) {
    if (all_reals) {
        switch (read_number(value).kind) {
            case NumberKind::Empty: break;
            case NumberKind::Integer: any_number = true; break;
            case NumberKind::Float:
                any_number = true;
                all_integers = false;
                break;
            case NumberKind::Text: all_reals = false; break;
        }
    }
    append(value);
}

void Column::append_null() {
    push_validity(*this, false);
    offsets.push_back(static_cast<int64_t>(data.size()));
}

void Column::append_null_run(int64_t count) {
    // Null bits are clear bits: the bitmap only grows.
    length += count;
    null_count += count;
    validity.resize(static_cast<size_t>((length + 7) >> 3), 0);
    offsets.resize(static_cast<size_t>(length) + 1, static_cast<int64_t>(data.size()));
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

void TableBuilder::check_conversion(const Column& column, std::string_view value,
                                    std::string_view title) {
    if (!column.forced || !options_.strict_conversion || converts_to(value, *column.forced)) return;
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

// Stages the section's records for the current row; false when a header
// without a name made the builder skip them all.
bool TableBuilder::stage_records(std::string_view sd) {
    folded_.clear();
    staged_columns_.clear();
    const int64_t stamp = rows_ + 1;
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
            if (staged_row_[column] != stamp) {
                staged_row_[column] = stamp;
                staged_columns_.push_back(column);
            }
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
    expect(block.mdl_end != kUnknownOffset, "table row from a block without its mdl end");
    std::string_view text = block.view();
    const size_t dollar = block.dollar_start();
    std::string_view sd = text.substr(block.mdl_end, dollar - block.mdl_end);
    if (!stage_records(sd)) ++skipped_;

    // Every check runs before the first column grows, so that a failure
    // leaves the columns of equal length.
    std::string_view title = block.title();
    if (title_) check_text(title, FailedField::Part::Title, {});
    std::string_view molblock = text.substr(0, block.mdl_end);
    if (molblock_) check_text(molblock, FailedField::Part::Molblock, {});
    if (block_) check_text(text, FailedField::Part::Block, {});
    for (size_t column : staged_columns_) {
        check_text(records_[column].name, FailedField::Part::RecordName, records_[column].name);
        check_text(staged_[column], FailedField::Part::RecordValue, records_[column].name);
        check_conversion(records_[column], staged_[column], title);
    }

    // A column catches up with the rows without its record when it next
    // takes a value, or at the end: a row costs only the records it has.
    if (title_) title_->append(title);
    for (size_t column : staged_columns_) {
        Column& target = records_[column];
        target.append_nulls(rows_ - target.length);
        if (options_.infer_types && !target.forced)
            target.append_typed(staged_[column]);
        else
            target.append(staged_[column]);
    }
    if (molblock_) molblock_->append(molblock);
    if (block_) block_->append(text);
    ++rows_;
}

void TableBuilder::reserve_rows(int64_t expected) {
    if (rows_ == 0 || expected <= rows_) return;
    // Half again what the rows so far predict, for the blocks that vary: room
    // never written costs no memory, a buffer that outgrows its room a copy.
    const double scale = static_cast<double>(expected) / static_cast<double>(rows_) * 1.5;
    const auto rows = static_cast<size_t>(static_cast<double>(expected) * 1.5) + 1;
    auto reserve = [&](Column& column) {
        column.data.reserve(static_cast<size_t>(static_cast<double>(column.data.size()) * scale));
        column.offsets.reserve(rows + 1);
        column.validity.reserve(rows / 8 + 1);
    };
    if (title_) reserve(*title_);
    if (molblock_) reserve(*molblock_);
    if (block_) reserve(*block_);
    for (Column& column : records_)
        reserve(column);
}

void infer_column_type(Column& column) {
    if (!column.any_number || !column.all_reals) return;
    convert_column(column, column.all_integers ? ColumnType::Int64 : ColumnType::Float64);
}

void convert_column(Column& column, ColumnType type) {
    if (type == ColumnType::String || column.type != ColumnType::String) return;
    const bool all_integers = type == ColumnType::Int64;
    std::vector<uint8_t> validity(column.validity.size(), 0);
    int64_t valid_count = 0;
    std::vector<int64_t> integers;
    std::vector<double> reals;
    if (all_integers)
        integers.resize(static_cast<size_t>(column.length));
    else
        reals.resize(static_cast<size_t>(column.length));
    // Sparse columns are mostly nulls: a validity byte of nulls skips its
    // eight rows, whose values stay zero.
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
    column.type = all_integers ? ColumnType::Int64 : ColumnType::Float64;
    column.integers = std::move(integers);
    column.reals = std::move(reals);
    std::vector<int64_t>{}.swap(column.offsets);
    std::string{}.swap(column.data);
}

Table TableBuilder::finish() {
    Table table;
    table.rows = rows_;
    table.is_bytes = options_.is_bytes;
    table.skipped = skipped_;
    table.columns.reserve(records_.size() + 3);
    if (title_) table.columns.push_back(std::move(*title_));
    for (Column& column : records_) {
        column.append_nulls(rows_ - column.length);
        if (!options_.defer_types) {
            if (column.forced)
                convert_column(column, *column.forced);
            else if (options_.infer_types)
                infer_column_type(column);
        }
        table.columns.push_back(std::move(column));
    }
    if (molblock_) table.columns.push_back(std::move(*molblock_));
    if (block_) table.columns.push_back(std::move(*block_));
    records_.clear();
    index_.clear();
    return table;
}

}  // namespace molvane::core
