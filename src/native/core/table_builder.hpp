// SD blocks into columns: one row per block, one column per record name, the
// data held in the buffers that the Arrow columnar format uses (validity
// bitmap, 64-bit offsets and data bytes, or fixed-width values), so that
// tables leave the module without a copy or a Python object per value.
//
// Columns come in this order: the title column (when asked for), the record
// columns (the selected names in their order, or every name in the order
// first seen across the input), the molblock column (when asked for), the
// block column, each block's whole text (when asked for). A
// block without a record has null there; of a name repeated in one block the
// last value wins, as in to_dict().
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/block.hpp"
#include "core/value_kinds.hpp"

namespace molvane::core {

// A column is built a value at a time with append_at(), which stores the
// values only: a row without one costs nothing until finish_column() lays
// the column out as Arrow does, one entry per row. Most columns of a mixed
// file are sparse, and their nulls would otherwise be most of the work.
struct Column {
    std::string name;
    ColumnType type = ColumnType::String;
    bool is_record = false;            // record columns take inferred types, others stay strings
    std::optional<ColumnType> forced;  // the type asked for, in place of inference
    // Laid out (after finish_column()): `length` rows, each valid or null.
    int64_t length = 0;
    int64_t null_count = 0;
    std::vector<uint8_t> validity;    // bit i set: row i has a value
    std::vector<int64_t> offsets{0};  // String: value i is data[offsets[i], offsets[i+1])
    std::string data;
    std::vector<int64_t> integers;  // Int64
    std::vector<double> reals;      // Float64
    // Being built: `offsets` and `data` hold the values appended so far, and
    // `value_rows` the row of each, once a row went without one.
    int64_t value_count = 0;
    bool has_gap = false;
    std::vector<int64_t> value_rows;
    // What the values appended through append_typed_at() (or, for a table
    // of kinds only, add_kinds()) are so far.
    ValueKinds kinds;
    bool name_checked = false;  // a table of kinds only checked the name's UTF-8
    // The numbers append_typed_at() read, one per non-empty value in order
    // (integers while every one is, else reals), and which values were
    // empty, so that typing the column does not read its text again.
    std::vector<int64_t> read_integers;
    std::vector<double> read_reals;
    std::vector<int64_t> empty_values;  // ordinals among the column's values
    // An integer "-0" was read: as a float it is -0.0, which read_integers
    // cannot hold, so a float column is then typed from its text.
    bool read_negative_zero = false;
    // A typed record column's values whose text is not the one from_table
    // writes for their number, as (that text, the text read) in the order
    // first seen; of one number written two ways the first way is kept.
    // Exported as the field's metadata, so the table can give them back.
    std::vector<std::pair<std::string, std::string>> texts;
    // All null, with no buffers of its own: it is exported with its table's
    // `zeros` as validity, offsets and values alike.
    bool shares_zeros = false;

    // `row` is past every row appended before.
    void append_at(int64_t row, std::string_view value);
    // append_at() that also keeps the kinds and numbers above for typing;
    // `read`, when given, is what `value` reads as.
    void append_typed_at(int64_t row, std::string_view value, const NumberValue* read = nullptr);
    // Only the kinds of `value`, for a table of kinds only.
    void add_kinds(std::string_view value) noexcept;
    std::string_view string_at(int64_t row) const noexcept;
};

// A table's columns, or (when `parts` is not empty) its parts: batches of the
// same columns, one after the other, which its own columns are not used for.
struct Table {
    std::vector<Column> columns;
    std::vector<Table> parts;
    int64_t rows = 0;
    bool is_bytes = true;  // binary columns; else UTF-8 string columns
    uint64_t skipped = 0;  // blocks whose records were left out (errors="skip")
    // Built with errors="skip": the schema's metadata tells `skipped`.
    bool counts_skipped = false;
    uint64_t end = 0;  // input offset just past the last row's block, when read from a file
    // rows + 1 zeros, the buffers of every column that shares_zeros.
    std::vector<int64_t> zeros;
    // The kinds of every record column, in column order (not for deferred parts).
    std::vector<std::pair<std::string, ValueKinds>> kinds;
    uint64_t scanned = 0;  // blocks seen by a build of kinds only (its rows are none)
};

struct TableOptions {
    bool is_bytes = true;
    bool skip_malformed = false;  // a malformed header nulls the block's records
    bool infer_types = true;      // the grammar of core/number_text
    // Types asked for by record name; a value that does not convert is null,
    // or with strict_conversion an InvalidText error naming row and value.
    std::vector<std::pair<std::string, ColumnType>> forced;
    bool strict_conversion = true;
    std::optional<std::vector<std::string>> columns;  // the record names to keep, in order
    std::optional<std::string> title;                 // the title column's name
    std::optional<std::string> molblock;              // the molblock column's name
    std::optional<std::string> block;                 // the whole-block column's name
    // finish() leaves record columns as built, with their number flags, for
    // merge_tables() to type over every part and lay out.
    bool defer_types = false;
    // A scan: each block gives its record names and the kinds of their
    // values, and nothing else is kept; the table has the columns and types
    // that a build would give, and no rows. Record names are still checked
    // as UTF-8 for text blocks, and malformed data headers are skipped.
    bool kinds_only = false;
};

// A value that did not convert to the type asked for, kept so that the
// message can name the row as counted over a whole input.
struct ConversionFailure {
    std::string value;
    std::string record_name;
    std::string title;
    ColumnType type = ColumnType::Int64;
    int64_t row = 0;
};

// "the value '...' of record '...' is not an int (row N, the block titled '...')"
std::string conversion_message(const ConversionFailure& failure, int64_t row_base);

// Which text of a block a failed UTF-8 check was about.
struct FailedField {
    enum class Part { Title, Molblock, Block, RecordName, RecordValue } part = Part::Title;
    std::string record_name;
};

// A record as a scan of mapped bytes found it (core/kinds_scan): its name,
// as [name, name + name_size) of the scan's copy of the names, and what its
// value reads as.
struct ScannedRecord {
    size_t name = 0;
    size_t name_size = 0;
    NumberValue number;
};

class TableBuilder {
  public:
    // Throws InvalidText when a selected name is also the title or molblock
    // column's name.
    explicit TableBuilder(TableOptions options);

    // Appends the block as a row (none for trailing whitespace, see
    // core/input_ending); its mdl_end must be located. Throws
    // MalformedRecord at a header without a name (unless skipping), InvalidText
    // for a record named as the title or molblock column, and DecodeError for
    // text of a text block that is not UTF-8 (see failed_field()). After a
    // throw the builder is left unusable.
    void add(const Block& block);

    // For a table of kinds only: a block as a scan of its bytes found it,
    // its records in order (their names in `names`); `malformed` when a
    // header without a name ended them. Gives the table add() would, and
    // throws as add() would for that block.
    void add_scanned(const ScannedRecord* records, size_t count, std::string_view names,
                     bool malformed);

    // Reserves room for `expected` rows in all, judged by the rows so far:
    // buffers that do not grow as they fill are copied and faulted in once.
    // Room never written costs address space only.
    void reserve_rows(int64_t expected);

    const FailedField& failed_field() const noexcept { return failed_; }
    // Set when add() threw for a value that does not convert.
    const std::optional<ConversionFailure>& conversion_failure() const noexcept {
        return conversion_failure_;
    }
    int64_t rows() const noexcept { return rows_; }

    // The table, with types inferred when asked; the builder is spent.
    Table finish();

  private:
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view name) const noexcept {
            return std::hash<std::string_view>{}(name);
        }
    };
    using NameMap = std::unordered_map<std::string, size_t, NameHash, std::equal_to<>>;

    size_t column_for(std::string_view name);
    Column new_record_column(std::string name) const;
    // For a column forced to a number: throws InvalidText when `value`
    // (which reads as `kind`) does not convert, with strict conversion.
    void check_conversion(const Column& column, std::string_view value, NumberKind kind,
                          std::string_view title);
    void check_text(std::string_view text, FailedField::Part part, std::string_view name);
    bool stage_records(std::string_view sd);
    void stage(size_t column);
    void add_staged_kinds();

    TableOptions options_;
    std::optional<Column> title_;
    std::optional<Column> molblock_;
    std::optional<Column> block_;
    std::vector<Column> records_;
    NameMap index_;
    // The value staged for each record column in the current row, and the
    // row that staged it (a column's value stands only when it is the
    // current row + 1).
    std::vector<std::string_view> staged_;
    std::vector<int64_t> staged_row_;
    std::vector<size_t> staged_columns_;  // the columns staged in the current row, in order
    // For add_scanned(): the column whose record came after each column's
    // the last time, and the column of a block's first record.
    std::vector<size_t> follower_;
    size_t first_record_ = npos;
    // What each staged value read as: for add_scanned(), and for a column forced to a number.
    std::vector<NumberValue> staged_numbers_;
    std::deque<std::string> folded_;  // CR LF-folded values of the current block
    std::string scratch_;
    FailedField failed_;
    std::optional<ConversionFailure> conversion_failure_;
    int64_t rows_ = 0;
    uint64_t skipped_ = 0;
};

// Lays out a column built with append_at() as `rows` rows of type `type`: a
// value that the number grammar does not read as one (an Int64 takes
// integers, a Float64 integers and floats) becomes null, as does an empty
// value A typed record column keeps the
// texts of its values that are written otherwise than from_table writes
// their numbers (see Column::texts).
void finish_column(Column& column, int64_t rows, ColumnType type);

// The type of a record column, the one rule for every build (one thread,
// parts merged, or scans): the type asked for, if any; else, when types are
// inferred, the type of core/value_kinds for the column's values.
ColumnType record_column_type(const Column& column, bool infer) noexcept;

// Whether `value` converts to `type` (an empty value converts, to null).
bool converts_to(std::string_view value, ColumnType type) noexcept;

}  // namespace molvane::core
