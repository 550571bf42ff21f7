// Connection-table model: the table type and the error type of the
// connection-table code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace molvane::ctable {

enum class Format { V2000, V3000 };

// Every connection-table failure: a core error of one of the table kinds,
// made by the factory that names what went wrong. Failures that concern one
// line have a "CTable line N: " prefix (line 1 is the title).
class TableError : public core::Error {
  public:
    static TableError missing_line(std::size_t line_count);
    static TableError no_field(std::string_view field_name, std::size_t line);
    static TableError not_an_integer(std::string_view field_name, std::string_view text,
                                     std::size_t line);
    static TableError bad_format(std::string_view text, std::size_t line);
    static TableError no_end_line(std::string_view begin_keyword, std::string_view end_keyword,
                                  std::size_t line);
    static TableError second_section(std::string_view begin_keyword, std::size_t line);
    static TableError not_an_atom_index(std::int64_t atom, std::size_t line);
    static TableError continued_last_line(std::string_view end_keyword, std::size_t line);
    static TableError v3000_only(std::string_view operation);
    static TableError unsupported(std::string_view operation, std::string_view construct);
    static TableError out_of_order(std::string_view index_kind, std::int64_t index,
                                   std::size_t line);
    static TableError duplicate(std::string_view index_kind, std::int64_t index, std::size_t line);
    static TableError fewer_lines(std::string_view line_kind, std::uint64_t found,
                                  std::int64_t declared);
    static TableError more_lines(std::string_view line_kind, std::uint64_t found,
                                 std::int64_t declared);
    static TableError ambiguous_bond_atom(std::int64_t atom, std::size_t line);

  private:
    TableError(core::ErrorKind kind, std::string message) : Error(kind, std::move(message)) {}
};

// Table format, declared atom and bond counts, as read from the table header.
struct Header {
    Format format;
    std::int64_t num_atoms;
    std::int64_t num_bonds;
};

// One connection table: its lines without line ends (UTF-8; surrogates coming
// from Python text are kept in their three-byte form) and the header values.
struct Table {
    std::vector<std::string> lines;
    std::int64_t num_atoms = 0;
    std::int64_t num_bonds = 0;
    Format format = Format::V2000;

    // Reads the header of lines and takes them over; throws TableError.
    static Table from_lines(std::vector<std::string> lines);
};

}  // namespace molvane::ctable
