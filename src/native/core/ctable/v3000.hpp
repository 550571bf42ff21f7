// V3000 connection tables: keyword lines, the root CTAB's ATOM and BOND
// sections, logical (continued) lines, index validation, renumbering and count
// fixing. Line numbers are 1-based with the title as line 1; line indices
// (Section) are 0-based positions in Table::lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ctable/header.hpp"
#include "core/ctable/table.hpp"

namespace molvane::ctable {

enum class SectionKind { Atom, Bond };

// Whether line starts with keyword, ASCII case ignored.
bool is_keyword_line(std::string_view line, std::string_view keyword);

// Whether line, without trailing CR and LF characters, ends in "-".
bool is_continued(std::string_view line);

// The lines strictly between a section's BEGIN and END lines, as indices
// [begin, end) into the table's lines; empty when the section is absent.
struct Section {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t size() const { return end - begin; }
};

// Finds the section of kind within the root CTAB; throws TableError.
Section locate_section(const std::vector<std::string>& lines, SectionKind kind);

struct EditSections {
    Section atoms;
    Section bonds;
};

// Refuses nested CTABs for operation, then locates both sections.
EditSections locate_sections_for_editing(const std::vector<std::string>& lines,
                                         std::string_view operation);

// Walks the logical lines of a section: a line joined with the lines it
// continues onto. A line that needs no joining is viewed, not copied.
class LogicalLines {
  public:
    LogicalLines(const std::vector<std::string>& lines, Section section)
        : lines_(lines), pos_(section.begin), end_(section.end) {}
    // text() may view an internal buffer, so the walker stays where it is.
    LogicalLines(const LogicalLines&) = delete;
    LogicalLines& operator=(const LogicalLines&) = delete;
    // Advances to the next logical line; false after the last.
    bool next();
    std::string_view text() const { return text_; }
    std::size_t line_number() const { return line_number_; }

  private:
    const std::vector<std::string>& lines_;
    std::size_t pos_;
    std::size_t end_;
    std::string joined_;
    std::string_view text_;
    std::size_t line_number_ = 0;
};

// The index field (third Unicode-whitespace field) of an atom or bond line.
std::optional<FieldSpan> index_field(std::string_view text);

// Checks the indices of one section against the order, uniqueness and the
// declared count; returns true or throws TableError.
bool validate_indices(const Table& table, SectionKind kind, bool strict);

// Renumbers atom and bond lines 1..n and remaps bond atoms; the table is left
// unchanged when it throws TableError.
void renumber_indices(Table& table);

// Writes the number of atom and bond lines into the V3000 counts line; the
// table is left unchanged when it throws TableError.
void fix_counts(Table& table);

}  // namespace molvane::ctable
