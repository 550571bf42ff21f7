// The connection table of a block's text: its lines as table text, the header
// of its first lines, and the block text rebuilt around rewritten lines.
#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/block.hpp"
#include "core/ctable/table.hpp"

namespace molvane::ctable {

// How a block's bytes map to table text: bytes blocks are Latin-1 (one byte,
// one character), str blocks strict UTF-8.
enum class LineEncoding { Latin1, Utf8 };

// Splits text after every LF; each line loses its LF and nothing else (a CR
// before the LF stays). Empty text gives no lines; stops after max_lines.
std::vector<std::string_view> split_ctab_lines(
    std::string_view text, std::size_t max_lines = std::numeric_limits<std::size_t>::max());

// The table lines of a block: title (already stripped of trailing whitespace),
// then the lines of mdl, as UTF-8 text. Throws core::DecodeError, holding the
// whole line, for the first line of a Utf8 block that is not valid UTF-8.
std::vector<std::string> decode_table_lines(std::string_view title, std::string_view mdl,
                                            LineEncoding encoding);

// Reads the header from the first five lines of mdl (the title is never read),
// each decoded as UTF-8 with U+FFFD replacement; throws TableError only.
Header read_ctab_header(std::string_view mdl);

struct RewrittenText {
    std::string text;
    std::size_t mdl_end;
};

// The block text with its CTAB replaced by table_lines[1:] (the title line is
// kept byte for byte, so table_lines[0] is ignored) and the SD data and
// terminator line from mdl_end on unchanged. A line ending in LF gets no line
// end, one ending in CR gets "\n", any other line gets line_ending.
RewrittenText rewrite_ctab(std::string_view text, std::size_t title_end, std::size_t mdl_end,
                           std::span<const std::string> table_lines, LineEncoding encoding,
                           std::string_view line_ending);

// The table of a block: its title and CTAB lines, decoded by the block's kind.
// Throws core::DecodeError or TableError; the block is not changed.
Table block_table(core::Block& block);

// The header of a block's counts lines; throws TableError only.
Header block_header(core::Block& block);

enum class Repair { RenumberIndices, FixCounts };

// Runs a repair on the block's table and writes its lines back into the CTAB.
// Everything that can fail (decoding, the repair, the export check) happens
// before the text changes; the records version is left alone.
void repair_block(core::Block& block, Repair repair);

}  // namespace molvane::ctable
