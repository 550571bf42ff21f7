#include "core/ctable/table.hpp"

#include <utility>

#include "core/ctable/header.hpp"

namespace molvane::ctable {
namespace {

std::string line_prefix(std::size_t line) {
    return "CTable line " + std::to_string(line) + ": ";
}

}  // namespace

TableError TableError::missing_line(std::size_t line_count) {
    const std::size_t line = line_count + 1;
    return {core::ErrorKind::MalformedTable, line_prefix(line) + "missing; the table has only " +
                                                 std::to_string(line_count) + " lines"};
}

TableError TableError::no_field(std::string_view field_name, std::size_t line) {
    return {core::ErrorKind::MalformedTable,
            line_prefix(line) + "no " + std::string(field_name) + " field"};
}

TableError TableError::not_an_integer(std::string_view field_name, std::string_view text,
                                      std::size_t line) {
    return {core::ErrorKind::MalformedTable,
            line_prefix(line) + std::string(field_name) + " " + quote(text) + " is not an integer"};
}

TableError TableError::bad_format(std::string_view text, std::size_t line) {
    return {core::ErrorKind::MalformedTable,
            line_prefix(line) + "format " + quote(text) + " is not V2000 or V3000"};
}

TableError TableError::no_end_line(std::string_view begin_keyword, std::string_view end_keyword,
                                   std::size_t line) {
    return {core::ErrorKind::MalformedTable,
            line_prefix(line) + quote(begin_keyword) + " has no " + quote(end_keyword) + " line"};
}

TableError TableError::second_section(std::string_view begin_keyword, std::size_t line) {
    return {core::ErrorKind::MalformedTable,
            line_prefix(line) + "more than one " + quote(begin_keyword) + " line in the root CTAB"};
}

TableError TableError::not_an_atom_index(std::int64_t atom, std::size_t line) {
    return {core::ErrorKind::MalformedTable,
            line_prefix(line) + "bond atom " + std::to_string(atom) + " is not an atom index"};
}

TableError TableError::continued_last_line(std::string_view end_keyword, std::size_t line) {
    return {core::ErrorKind::MalformedTable,
            line_prefix(line) + "continues (\"-\") onto the " + quote(end_keyword) + " line"};
}

TableError TableError::v3000_only(std::string_view operation) {
    return {core::ErrorKind::UnsupportedTable,
            std::string(operation) + " is only implemented for V3000 tables"};
}

TableError TableError::unsupported(std::string_view operation, std::string_view construct) {
    return {core::ErrorKind::UnsupportedTable,
            std::string(operation) + " does not support " + std::string(construct) + " yet"};
}

TableError TableError::out_of_order(std::string_view index_kind, std::int64_t index,
                                    std::size_t line) {
    return {core::ErrorKind::IndexOutOfOrder, line_prefix(line) + std::string(index_kind) + " " +
                                                  std::to_string(index) + " is out of order"};
}

TableError TableError::duplicate(std::string_view index_kind, std::int64_t index,
                                 std::size_t line) {
    return {core::ErrorKind::DuplicateIndex, line_prefix(line) + std::string(index_kind) + " " +
                                                 std::to_string(index) + " is a duplicate"};
}

TableError TableError::fewer_lines(std::string_view line_kind, std::uint64_t found,
                                   std::int64_t declared) {
    return {core::ErrorKind::CountMismatch,
            "fewer " + std::string(line_kind) + " lines (" + std::to_string(found) +
                ") than the counts line declares (" + std::to_string(declared) + ")"};
}

TableError TableError::more_lines(std::string_view line_kind, std::uint64_t found,
                                  std::int64_t declared) {
    return {core::ErrorKind::CountMismatch,
            "more " + std::string(line_kind) + " lines (" + std::to_string(found) +
                ") than the counts line declares (" + std::to_string(declared) + ")"};
}

TableError TableError::ambiguous_bond_atom(std::int64_t atom, std::size_t line) {
    return {
        core::ErrorKind::DuplicateIndex,
        line_prefix(line) + "bond atom " + std::to_string(atom) + " is the index of several atoms"};
}

Table Table::from_lines(std::vector<std::string> lines) {
    const Header header = read_header(lines);
    Table table;
    table.lines = std::move(lines);
    table.num_atoms = header.num_atoms;
    table.num_bonds = header.num_bonds;
    table.format = header.format;
    return table;
}

}  // namespace molvane::ctable
