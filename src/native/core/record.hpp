// SD data records: the scanner that finds them in a block's SD data section,
// and the edits that rewrite that section.
//
// A record is a data header line ("> " then text holding "<name>") and its
// value lines up to a blank line. Every offset here counts from the start of
// the SD data section (the block's mdl_end), so it survives title and CTAB
// edits, which move the section but leave its bytes alone.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/block.hpp"
#include "core/header_style.hpp"

namespace molvane::core {

inline constexpr std::string_view kMissingName = "SD data field header is missing a name";

struct RecordSpan {
    size_t start = 0;       // first byte of the header line
    size_t header_end = 0;  // just past the header line; the value lines start here
    size_t name_start = 0;  // name bytes [name_start, name_end), both 0 when unnamed
    size_t name_end = 0;
    size_t value_end = 0;  // end of the last value line's content
    size_t end = 0;        // just past the blank line ending the record, or the section end
    bool named = false;
    bool value_has_crlf = false;  // a value line ends in CR LF: the value needs folding

    std::string_view name(std::string_view sd) const noexcept {
        return sd.substr(name_start, name_end - name_start);
    }
    std::string_view header_line(std::string_view sd) const noexcept {
        return sd.substr(start, header_end - start);
    }
    // The value bytes as they stand, CR LF pairs not yet folded.
    std::string_view raw_value(std::string_view sd) const noexcept {
        return sd.substr(header_end, value_end - header_end);
    }
};

// What a scan does at a header line without a name: the read operations
// refuse the section, while "copy" templates and replace_records pass over it.
enum class UnnamedHeader { Raise, Skip };

class RecordScanner {
  public:
    explicit RecordScanner(std::string_view sd, size_t cursor = 0,
                           UnnamedHeader unnamed = UnnamedHeader::Raise) noexcept
        : sd_(sd), cursor_(cursor < sd.size() ? cursor : sd.size()), unnamed_(unnamed) {}

    // Finds the next record from the cursor and moves past it; false at the
    // end of the section. With UnnamedHeader::Raise a header without a name
    // throws MalformedRecord; with Skip it yields a record with named false.
    bool next(RecordSpan& record);
    size_t cursor() const noexcept { return cursor_; }

  private:
    std::string_view sd_;
    size_t cursor_;
    UnnamedHeader unnamed_;
};

enum class HeaderKind { NotHeader, Named, Unnamed };

// Classifies one line (ending included); for a named header, sets the name's
// bounds relative to the line.
HeaderKind classify_header(std::string_view line, size_t& name_start, size_t& name_end) noexcept;

// The record's value with every CR LF folded to LF: a view of `sd` when there
// is nothing to fold, else of `scratch`, which receives the folded copy.
std::string_view record_value(std::string_view sd, const RecordSpan& record, std::string& scratch);

// Every record of the section, in order; throws MalformedRecord at a header
// without a name anywhere, before anything is returned.
std::vector<RecordSpan> scan_records(std::string_view sd);
size_t count_records(std::string_view sd);

// The last record named `name`, found by scanning the whole section.
bool find_last_record(std::string_view sd, std::string_view name, RecordSpan& found);

// --- edits ------------------------------------------------------------------
//
// Callers check the argument types first; each edit then runs begin_edit
// (the export check) and every content check before changing a byte, and
// advances the records version when it changes the records.

struct NewRecord {
    std::string_view name;
    std::string_view value;
};

// Refuses a record that would not read back as written: a name holding a
// line break, or a value holding a `$$$$` line or a blank line with text
// after it. Every edit below runs it before changing anything.
void check_new_record(NewRecord record);

void append_record(Block& block, NewRecord record, HeaderStyle style);
// set_record: the first record named `name` keeps its header line and place
// and takes the value; later ones go; with none, the record is appended.
void set_record(Block& block, NewRecord record, HeaderStyle style);
// Removes every record named `name`; returns how many went.
size_t remove_records(Block& block, std::string_view name);
// Replaces the whole SD data; the k-th new record named A reuses the k-th old
// header line named A.
void replace_records(Block& block, std::span<const NewRecord> records, HeaderStyle style);

}  // namespace molvane::core
