#include "core/ctable/block_lines.hpp"

#include <optional>
#include <stdexcept>
#include <utility>

#include "core/ctable/header.hpp"
#include "core/ctable/utf8.hpp"
#include "core/ctable/v3000.hpp"
#include "core/utf8.hpp"

namespace molvane::ctable {
namespace {

constexpr std::size_t kHeaderCtabLines = 5;

std::string decode_line(std::string_view bytes, LineEncoding encoding) {
    if (encoding == LineEncoding::Latin1) return latin1_to_utf8(bytes);
    const core::Utf8Check check = core::check_utf8(bytes);
    if (!check.valid(bytes))
        throw core::DecodeError(std::string(bytes), check.valid_up_to, check.error_end);
    return std::string(bytes);
}

}  // namespace

std::vector<std::string_view> split_ctab_lines(std::string_view text, std::size_t max_lines) {
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < text.size() && lines.size() < max_lines) {
        const std::size_t newline = text.find('\n', pos);
        if (newline == std::string_view::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, newline - pos));
        pos = newline + 1;
    }
    return lines;
}

std::vector<std::string> decode_table_lines(std::string_view title, std::string_view mdl,
                                            LineEncoding encoding) {
    const std::vector<std::string_view> raw = split_ctab_lines(mdl);
    std::vector<std::string> lines;
    lines.reserve(raw.size() + 1);
    lines.push_back(decode_line(title, encoding));
    for (const std::string_view line : raw)
        lines.push_back(decode_line(line, encoding));
    return lines;
}

Header read_ctab_header(std::string_view mdl) {
    const std::vector<std::string_view> raw = split_ctab_lines(mdl, kHeaderCtabLines);
    std::vector<std::string> lines;
    lines.reserve(raw.size() + 1);
    lines.emplace_back();  // the title is never read
    for (const std::string_view line : raw)
        lines.push_back(decode_utf8_lossy(line));
    return read_header(lines);
}

RewrittenText rewrite_ctab(std::string_view text, std::size_t title_end, std::size_t mdl_end,
                           std::span<const std::string> table_lines, LineEncoding encoding,
                           std::string_view line_ending) {
    if (title_end > mdl_end || mdl_end > text.size()) {
        throw std::out_of_range("CTAB range lies outside the block text");
    }
    std::vector<std::string> encoded;
    std::size_t size = title_end + (text.size() - mdl_end);
    if (table_lines.size() > 1) encoded.reserve(table_lines.size() - 1);
    for (std::size_t i = 1; i < table_lines.size(); ++i) {
        if (encoding == LineEncoding::Latin1) {
            std::optional<std::string> bytes = utf8_to_latin1(table_lines[i]);
            // Table lines of a bytes block only ever hold Latin-1 characters.
            if (!bytes) throw std::invalid_argument("CTable line is not Latin-1 text");
            encoded.push_back(std::move(*bytes));
        } else {
            encoded.push_back(table_lines[i]);
        }
        size += encoded.back().size() + line_ending.size();
    }

    RewrittenText result;
    result.text.reserve(size);
    result.text.append(text.substr(0, title_end));
    for (const std::string& line : encoded) {
        result.text += line;
        if (line.empty() || line.back() != '\n') {
            result.text +=
                !line.empty() && line.back() == '\r' ? std::string_view("\n") : line_ending;
        }
    }
    result.mdl_end = result.text.size();
    result.text.append(text.substr(mdl_end));
    return result;
}

namespace {

// The first `count` lines of `text`, with their line ends.
std::string_view first_lines(std::string_view text, std::size_t count) noexcept {
    std::size_t end = 0;
    for (std::size_t i = 0; i < count && end < text.size(); ++i) {
        const std::size_t newline = text.find('\n', end);
        end = newline == std::string_view::npos ? text.size() : newline + 1;
    }
    return text.substr(0, end);
}

// Throws the DecodeError of the first line of `text` that is not valid in
// `encoding`, holding nothing but that line.
void check_lines_decode(std::string_view text, LineEncoding encoding) {
    if (encoding == LineEncoding::Latin1) return;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t newline = text.find('\n', pos);
        const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
        (void)decode_line(text.substr(pos, end - pos), encoding);
        pos = end + 1;
    }
}

}  // namespace

Table block_table(core::Block& block) {
    const LineEncoding encoding = block.is_bytes ? LineEncoding::Latin1 : LineEncoding::Utf8;
    const std::string_view title = block.title();
    const std::string_view mdl = block.mdl();
    // The header is read from the first lines before every line is held, so
    // a block of millions of lines with a broken header fails at the cost of
    // a few. A line that does not decode still wins over the header's fault,
    // as when every line is decoded first.
    try {
        read_header(decode_table_lines(title, first_lines(mdl, kHeaderCtabLines), encoding));
    } catch (const TableError&) {
        check_lines_decode(mdl, encoding);
        throw;
    }
    return Table::from_lines(decode_table_lines(title, mdl, encoding));
}

Header block_header(core::Block& block) {
    return read_ctab_header(block.mdl());
}

void repair_block(core::Block& block, Repair repair) {
    Table table = block_table(block);
    if (repair == Repair::RenumberIndices) {
        renumber_indices(table);
    } else {
        fix_counts(table);
    }
    const LineEncoding encoding = block.is_bytes ? LineEncoding::Latin1 : LineEncoding::Utf8;
    RewrittenText rewritten = rewrite_ctab(block.view(), block.title_end, block.locate_mdl_end(),
                                           table.lines, encoding, block.line_ending());
    block.begin_edit();
    block.edit_text() = std::move(rewritten.text);
    block.mdl_end = rewritten.mdl_end;
}

}  // namespace molvane::ctable
