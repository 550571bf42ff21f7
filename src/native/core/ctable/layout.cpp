#include "core/ctable/layout.hpp"

#include <array>
#include <vector>

#include "core/ctable/block_lines.hpp"
#include "core/strip.hpp"

namespace molvane::ctable {
namespace {

constexpr std::string_view kEndLine = "M  END";
constexpr std::size_t kCountsLineOfMdl = 2;  // program line, comment, counts
constexpr std::size_t kCoordinateWidth = 10;
constexpr std::size_t kAtomLineMinimum = 34;  // coordinates, a space and a symbol

// Lines that follow the bonds of a V2000 table: properties, atom aliases and
// values, group abbreviations, skip lines and the old atom lists.
constexpr std::array<std::string_view, 5> kAfterBonds = {"M  ", "A  ", "V  ", "G  ", "S  SKP"};

std::size_t skip_digits(std::string_view text, std::size_t i) {
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    return i;
}

// A decimal number with optional surrounding spaces, sign, fraction and exponent.
bool is_number(std::string_view field) {
    const std::string_view text = core::strip(field);
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t whole_end = skip_digits(text, i);
    std::size_t digits = whole_end - i;
    i = whole_end;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fraction_end = skip_digits(text, i + 1);
        digits += fraction_end - i - 1;
        i = fraction_end;
    }
    if (digits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        const std::size_t exponent_end = skip_digits(text, i);
        if (exponent_end == i) return false;
        i = exponent_end;
    }
    return i == text.size();
}

bool ends_table(std::string_view line) {
    if (line == kEndLine) return true;
    for (std::string_view prefix : kAfterBonds)
        if (line.starts_with(prefix)) return true;
    return false;
}

std::string_view without_cr(std::string_view line) {
    return line.ends_with('\r') ? line.substr(0, line.size() - 1) : line;
}

}  // namespace

bool is_v2000_atom_line(std::string_view line) {
    if (line.size() < kAtomLineMinimum) return false;
    for (std::size_t column = 0; column < 3; ++column)
        if (!is_number(line.substr(column * kCoordinateWidth, kCoordinateWidth))) return false;
    return true;
}

Layout read_layout(core::Block& block) {
    Layout layout;
    layout.blank = core::strip(block.view().substr(0, block.dollar_start())).empty();
    const std::string_view mdl = block.mdl();
    std::string_view trimmed = mdl;
    while (trimmed.ends_with('\n') || trimmed.ends_with('\r'))
        trimmed.remove_suffix(1);
    layout.has_end = trimmed.ends_with(kEndLine);

    const std::vector<std::string_view> lines = split_ctab_lines(mdl);
    if (lines.size() <= kCountsLineOfMdl) {
        layout.header_too_short = true;
        return layout;
    }
    try {
        layout.header = read_ctab_header(mdl);
    } catch (const TableError& error) {
        layout.header_problem = error.message();
        return layout;
    }
    if (layout.header->format != Format::V2000) return layout;

    std::size_t line = kCountsLineOfMdl + 1;
    while (line < lines.size() && !ends_table(without_cr(lines[line])) &&
           is_v2000_atom_line(without_cr(lines[line]))) {
        ++layout.atom_lines;
        ++line;
    }
    while (line < lines.size() && !ends_table(without_cr(lines[line]))) {
        ++layout.bond_lines;
        ++line;
    }
    return layout;
}

}  // namespace molvane::ctable
