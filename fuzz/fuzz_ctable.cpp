// Connection-table repairs on arbitrary text: every call either succeeds or
// throws a table error that leaves the table exactly as it was; after a
// successful renumbering and count fix both strict validations pass; and a
// block rewritten with the table's lines reads back as the same lines.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/ctable/block_lines.hpp"
#include "core/ctable/table.hpp"
#include "core/ctable/utf8.hpp"
#include "core/ctable/v3000.hpp"

namespace {

using namespace molvane::ctable;

void check(bool condition) {
    if (!condition) std::abort();
}

// Runs a repair; on a table error the table must be unchanged.
template <class Repair>
bool try_repair(Table& table, Repair repair) {
    const Table before = table;
    try {
        repair(table);
        return true;
    } catch (const TableError&) {
        check(table.lines == before.lines && table.num_atoms == before.num_atoms &&
              table.num_bonds == before.num_bonds);
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    for (std::string_view line : split_ctab_lines(text))
        lines.push_back(latin1_to_utf8(line));

    Table table;
    try {
        table = Table::from_lines(lines);
    } catch (const TableError&) {
        return 0;
    }
    for (SectionKind kind : {SectionKind::Atom, SectionKind::Bond}) {
        try {
            validate_indices(table, kind, false);
        } catch (const TableError&) {
        }
    }
    const bool renumbered = try_repair(table, renumber_indices);
    const bool fixed = try_repair(table, fix_counts);
    if (renumbered) {
        check(fixed);
        check(validate_indices(table, SectionKind::Atom, true));
        check(validate_indices(table, SectionKind::Bond, true));
    }

    // Write the table back into a block text and read it again.
    const std::string block = "title\n" + std::string(text) + "\n> <x>\n1\n\n$$$$\n";
    const size_t mdl_end = 6 + text.size() + 1;
    const RewrittenText rewritten =
        rewrite_ctab(block, 6, mdl_end, table.lines, LineEncoding::Latin1, "\n");
    check(rewritten.text.starts_with("title\n") && rewritten.text.ends_with(block.substr(mdl_end)));
    const std::vector<std::string> reread = decode_table_lines(
        "title", std::string_view(rewritten.text).substr(6, rewritten.mdl_end - 6),
        LineEncoding::Latin1);
    check(std::vector<std::string>(reread.begin() + 1, reread.end()) ==
          std::vector<std::string>(table.lines.begin() + 1, table.lines.end()));
    return 0;
}
