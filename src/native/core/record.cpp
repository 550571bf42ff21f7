#include "core/record.hpp"

#include <algorithm>

#include "core/dollar_line.hpp"
#include "core/error.hpp"
#include "core/record_index.hpp"

namespace molvane::core {

namespace {

// The last line of a section whose lines all end in LF.
std::string_view last_line(std::string_view sd) noexcept {
    std::string_view body = sd;
    if (body.ends_with('\n')) body.remove_suffix(1);
    size_t lf = body.rfind('\n');
    return lf == npos ? sd : sd.substr(lf + 1);
}

// The text written around a new record's name.
struct HeaderTemplate {
    std::string prefix;  // through the "<"
    std::string suffix;  // from the ">" to the end of the line's content
};

HeaderTemplate plain_template() {
    return {"> <", ">"};
}

// For "copy": the text around the name on the first named header line of
// `sd`; header lines without a name are passed over.
HeaderTemplate template_for(HeaderStyle style, std::string_view sd) {
    if (style == HeaderStyle::Padded) return {">  <", ">"};
    if (style == HeaderStyle::Plain) return plain_template();
    RecordScanner scanner(sd, 0, UnnamedHeader::Skip);
    RecordSpan record;
    while (scanner.next(record)) {
        if (!record.named) continue;
        std::string_view content = line_content(record.header_line(sd));
        size_t name_start = record.name_start - record.start;
        size_t name_end = record.name_end - record.start;
        return {std::string(content.substr(0, name_start)), std::string(content.substr(name_end))};
    }
    return plain_template();
}

void append_header_line(std::string& out, const HeaderTemplate& templ, std::string_view name,
                        std::string_view ending) {
    out.append(templ.prefix).append(name).append(templ.suffix).append(ending);
}

// Value, the end of its last line, and the blank line ending the record.
void append_value_lines(std::string& out, std::string_view value, std::string_view ending) {
    out.append(value).append(ending).append(ending);
}

// An empty block gains an empty title line (and so an empty CTAB) before its
// first record, ending as its terminator line does.
void open_empty_block(Block& block) {
    std::string_view ending = block.view().ends_with(kCRLF) ? kCRLF : kLF;
    std::string opened;
    opened.reserve(ending.size() + block.view().size() + 256);
    opened.append(ending).append(block.view());
    block.text = BlockText(std::move(opened));
    block.title_end = ending.size();
    block.mdl_end = ending.size();
}

// Every record of the section named `name`, in order (throws at a header
// without a name anywhere in the section): from the block's record index
// when it has one, else by a scan.
std::vector<RecordSpan> records_named(Block& block, std::string_view name, RecordIndex*& index) {
    index = index_for_edit(block);
    if (index) return index->named(name);
    std::string_view sd = block.sd_data();
    std::vector<RecordSpan> found;
    RecordScanner scanner(sd);
    RecordSpan record;
    size_t scanned = 0;
    for (; scanner.next(record); ++scanned)
        if (record.name(sd) == name) found.push_back(record);
    note_edit_scan(block, scanned);
    return found;
}

// After an edit changed the records: an index that cannot follow the change
// is dropped, and without one the next lookup scans again.
void records_changed(Block& block, bool index_followed) noexcept {
    if (!index_followed) block.record_index.reset();
    if (!block.record_index) block.lookup_seen = false;
}

// The end of the line that starts at `pos`: at LF, CR LF or a lone CR, so
// that the check below also holds for text that is read back with universal
// newlines. Sets `next` to the start of the following line.
size_t any_line_end(std::string_view text, size_t pos, size_t& next) noexcept {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == npos) {
        next = text.size();
        return text.size();
    }
    next = end + 1;
    if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
    return end;
}

// Appends after every check has passed: the new record goes directly before
// the terminator line, after a blank line.
void append_checked(Block& block, NewRecord record, HeaderStyle style) {
    block.locate_mdl_end();
    HeaderTemplate templ = template_for(style, block.sd_data());
    if (block.is_empty_block()) open_empty_block(block);
    std::string& text = block.edit_text();
    std::string_view ending = title_line_ending(text);
    std::string_view terminator = terminator_of(text);
    size_t dollar_start = block.dollar_start();
    std::string_view sd =
        std::string_view(text).substr(block.mdl_end, dollar_start - block.mdl_end);
    size_t separators = 0;
    if (!sd.empty()) {
        if (!sd.ends_with('\n')) ++separators;  // complete an unterminated last line first
        if (!is_blank(last_line(sd))) ++separators;
    }
    text.resize(dollar_start);
    text.reserve(text.size() + separators * ending.size() + templ.prefix.size() +
                 record.name.size() + templ.suffix.size() + record.value.size() +
                 3 * ending.size() + terminator.size());
    for (size_t i = 0; i < separators; ++i)
        text.append(ending);
    append_header_line(text, templ, record.name, ending);
    append_value_lines(text, record.value, ending);
    text.append(terminator);
    ++block.records_version;
    RecordIndex* index = block.record_index.get();
    records_changed(block, !index || index->follow_append(block.sd_data()));
}

// Takes the next old header line for each new name: in step with the old
// order while the names agree, then from a table sorted by name.
class HeaderReuse {
  public:
    HeaderReuse(std::string_view sd, std::vector<RecordSpan> old) : sd_(sd), old_(std::move(old)) {}

    // The header line to reuse for the next new record named `name`, or an
    // empty view when no old header line with that name is left.
    std::string_view take(std::string_view name) {
        if (!diverged_) {
            if (next_ < old_.size() && old_[next_].name(sd_) == name)
                return old_[next_++].header_line(sd_);
            diverge();
        }
        auto first = std::lower_bound(
            sorted_.begin(), sorted_.end(), name,
            [&](size_t index, std::string_view wanted) { return old_[index].name(sd_) < wanted; });
        if (first == sorted_.end() || old_[*first].name(sd_) != name) return {};
        size_t group = static_cast<size_t>(first - sorted_.begin());
        size_t& used = taken_[group];
        size_t pick = group + used;
        if (pick >= sorted_.size() || old_[sorted_[pick]].name(sd_) != name) return {};
        ++used;
        return old_[sorted_[pick]].header_line(sd_);
    }

  private:
    void diverge() {
        diverged_ = true;
        for (size_t i = next_; i < old_.size(); ++i)
            sorted_.push_back(i);
        std::stable_sort(sorted_.begin(), sorted_.end(),
                         [&](size_t a, size_t b) { return old_[a].name(sd_) < old_[b].name(sd_); });
        taken_.assign(sorted_.size(), 0);
    }

    std::string_view sd_;
    std::vector<RecordSpan> old_;  // the old named header lines, in order
    size_t next_ = 0;              // in-order cursor into old_
    bool diverged_ = false;
    std::vector<size_t> sorted_;  // indices into old_ from next_ on, ordered by name
    std::vector<size_t> taken_;   // per group start in sorted_: entries used
};

}  // namespace

HeaderKind classify_header(std::string_view line, size_t& name_start, size_t& name_end) noexcept {
    std::string_view content = strip(line);
    if (content.size() <= 1 || content[0] != '>' || content[1] != ' ') return HeaderKind::NotHeader;
    size_t close = content.rfind('>');
    if (close == npos || close < 2) return HeaderKind::Unnamed;
    size_t open = content.find('<', 2);
    if (open == npos || open >= close) return HeaderKind::Unnamed;
    size_t offset = static_cast<size_t>(content.data() - line.data());
    name_start = offset + open + 1;
    name_end = offset + close;
    return HeaderKind::Named;
}

bool RecordScanner::next(RecordSpan& record) {
    const size_t size = sd_.size();
    while (cursor_ < size) {
        const size_t line_start = cursor_;
        const size_t line_end = next_line(sd_, line_start);
        std::string_view line = sd_.substr(line_start, line_end - line_start);
        if (is_blank(line)) {
            cursor_ = line_end;
            continue;
        }
        size_t name_start = 0, name_end = 0;
        HeaderKind kind = classify_header(line, name_start, name_end);
        if (kind == HeaderKind::NotHeader) {
            // A stray run: skipped through the next blank line.
            cursor_ = skip_to_blank_line(sd_, line_end, size);
            continue;
        }
        if (kind == HeaderKind::Unnamed && unnamed_ == UnnamedHeader::Raise)
            fail(ErrorKind::MalformedRecord, std::string(kMissingName));
        record.start = line_start;
        record.header_end = line_end;
        record.named = kind == HeaderKind::Named;
        record.name_start = record.named ? line_start + name_start : 0;
        record.name_end = record.named ? line_start + name_end : 0;
        record.value_end = line_end;
        record.end = size;
        record.value_has_crlf = false;
        bool previous_crlf = false;
        for (size_t pos = line_end; pos < size;) {
            size_t value_line_end = next_line(sd_, pos);
            std::string_view value_line = sd_.substr(pos, value_line_end - pos);
            if (is_blank(value_line)) {
                record.end = value_line_end;
                break;
            }
            // Only a CR LF before a later value line stays inside the value.
            if (previous_crlf) record.value_has_crlf = true;
            previous_crlf = value_line.ends_with(kCRLF);
            record.value_end = pos + line_content(value_line).size();
            pos = value_line_end;
        }
        cursor_ = record.end;
        return true;
    }
    return false;
}

std::string_view record_value(std::string_view sd, const RecordSpan& record, std::string& scratch) {
    std::string_view raw = record.raw_value(sd);
    if (!record.value_has_crlf) return raw;
    scratch.clear();
    scratch.reserve(raw.size());
    size_t from = 0;
    for (size_t hit = find_bytes(raw, 0, kCRLF); hit != npos; hit = find_bytes(raw, from, kCRLF)) {
        scratch.append(raw.substr(from, hit - from)).push_back('\n');
        from = hit + 2;
    }
    scratch.append(raw.substr(from));
    return scratch;
}

std::vector<RecordSpan> scan_records(std::string_view sd) {
    std::vector<RecordSpan> records;
    RecordScanner scanner(sd);
    RecordSpan record;
    while (scanner.next(record))
        records.push_back(record);
    return records;
}

size_t count_records(std::string_view sd) {
    RecordScanner scanner(sd);
    RecordSpan record;
    size_t count = 0;
    while (scanner.next(record))
        ++count;
    return count;
}

bool find_last_record(std::string_view sd, std::string_view name, RecordSpan& found) {
    RecordScanner scanner(sd);
    RecordSpan record;
    bool any = false;
    while (scanner.next(record)) {
        if (record.name(sd) == name) {
            found = record;
            any = true;
        }
    }
    return any;
}

void check_new_record(NewRecord record) {
    if (record.name.find_first_of("\r\n") != npos)
        fail(ErrorKind::InvalidText, "SDBlock record names must be a single line");
    // A blank line ends a record, so one with text after it would cut the
    // value short and leave the rest as stray lines or further records.
    bool after_blank = false;
    for (size_t pos = 0; pos < record.value.size();) {
        size_t next = 0;
        std::string_view line =
            record.value.substr(pos, any_line_end(record.value, pos, next) - pos);
        if (line.starts_with("$$$$"))
            fail(ErrorKind::InvalidText,
                 "SDBlock values cannot hold a $$$$ line, which would end the block");
        if (is_blank(line)) {
            after_blank = true;
        } else if (after_blank) {
            fail(ErrorKind::InvalidText,
                 "SDBlock values cannot hold a blank line followed by more text, which would end "
                 "the record early");
        }
        pos = next;
    }
}

void append_record(Block& block, NewRecord record, HeaderStyle style) {
    check_new_record(record);
    block.begin_record_edit();
    append_checked(block, record, style);
}

void set_record(Block& block, NewRecord record, HeaderStyle style) {
    check_new_record(record);
    block.begin_record_edit();
    const size_t mdl_end = block.locate_mdl_end();
    RecordIndex* index = nullptr;
    std::vector<RecordSpan> spans = records_named(block, record.name, index);
    std::string_view text = block.view();
    std::string_view sd = block.sd_data();
    if (spans.empty()) {
        append_checked(block, record, style);
        return;
    }
    std::string_view ending = title_line_ending(text);
    const RecordSpan& first = spans.front();
    size_t first_size = 0;
    if (spans.size() == 1) {
        // The common case, in place: only the bytes after the value move.
        std::string lines;
        lines.reserve(record.value.size() + 2 * ending.size());
        append_value_lines(lines, record.value, ending);
        first_size = first.header_end - first.start + lines.size();
        block.edit_text().replace(mdl_end + first.header_end, first.end - first.header_end, lines);
    } else {
        std::string rebuilt;
        rebuilt.reserve(text.size() + record.value.size() + 2 * ending.size());
        rebuilt.append(text.substr(0, mdl_end + first.start));
        rebuilt.append(first.header_line(sd));
        append_value_lines(rebuilt, record.value, ending);
        first_size = rebuilt.size() - (mdl_end + first.start);
        size_t kept_from = first.end;
        for (size_t i = 1; i < spans.size(); ++i) {
            rebuilt.append(sd.substr(kept_from, spans[i].start - kept_from));
            kept_from = spans[i].end;
        }
        rebuilt.append(text.substr(mdl_end + kept_from));
        block.text = BlockText(std::move(rebuilt));
    }
    ++block.records_version;
    if (index) index->follow_rewrite(block.sd_data(), record.name, first_size);
    records_changed(block, true);
}

size_t remove_records(Block& block, std::string_view name) {
    block.begin_record_edit();
    const size_t mdl_end = block.locate_mdl_end();
    RecordIndex* index = nullptr;
    std::vector<RecordSpan> spans = records_named(block, name, index);
    if (spans.empty()) return 0;
    if (spans.size() == 1) {
        // One record: moving the bytes after it costs less than a copy of all.
        block.edit_text().erase(mdl_end + spans[0].start, spans[0].end - spans[0].start);
    } else {
        std::string_view text = block.view();
        std::string_view sd = block.sd_data();
        std::string rebuilt;
        rebuilt.reserve(text.size());
        rebuilt.append(text.substr(0, mdl_end));
        size_t kept_from = 0;
        for (const RecordSpan& span : spans) {
            rebuilt.append(sd.substr(kept_from, span.start - kept_from));
            kept_from = span.end;
        }
        rebuilt.append(text.substr(mdl_end + kept_from));
        block.text = BlockText(std::move(rebuilt));
    }
    ++block.records_version;
    if (index) index->follow_rewrite(block.sd_data(), name, npos);
    records_changed(block, true);
    return spans.size();
}

void replace_records(Block& block, std::span<const NewRecord> records, HeaderStyle style) {
    for (const NewRecord& record : records)
        check_new_record(record);
    block.begin_edit();
    if (!records.empty() && block.is_empty_block()) open_empty_block(block);
    const size_t mdl_end = block.locate_mdl_end();
    std::string_view text = block.view();
    std::string_view old_sd = block.sd_data();
    std::string_view ending = title_line_ending(text);
    std::string_view terminator = terminator_of(text);
    HeaderTemplate templ = template_for(style, old_sd);

    std::vector<RecordSpan> old_headers;
    RecordScanner scanner(old_sd, 0, UnnamedHeader::Skip);
    for (RecordSpan record; scanner.next(record);)
        if (record.named) old_headers.push_back(record);
    HeaderReuse reuse(old_sd, std::move(old_headers));

    size_t size = mdl_end + terminator.size();
    for (const NewRecord& record : records)
        size += templ.prefix.size() + record.name.size() + templ.suffix.size() +
                record.value.size() + 3 * ending.size();
    std::string rebuilt;
    rebuilt.reserve(size);
    rebuilt.append(text.substr(0, mdl_end));
    for (const NewRecord& record : records) {
        std::string_view header = reuse.take(record.name);
        if (header.empty())
            append_header_line(rebuilt, templ, record.name, ending);
        else
            rebuilt.append(header);
        append_value_lines(rebuilt, record.value, ending);
    }
    rebuilt.append(terminator);
    block.text = BlockText(std::move(rebuilt));
    ++block.records_version;
}

}  // namespace molvane::core
