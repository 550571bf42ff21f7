#include "core/ctable/header.hpp"

#include <algorithm>
#include <limits>

#include "core/ctable/unicode_tables.hpp"
#include "core/ctable/utf8.hpp"

namespace molvane::ctable {
namespace {

constexpr std::size_t kCountsLine = 4;
constexpr std::size_t kV3000CountsLine = 6;
constexpr std::size_t kHeaderLines = 6;
constexpr std::size_t kV2000CountWidth = 3;

// Byte offset just after count code points from pos, stopping at the end.
std::size_t advance_code_points(std::string_view text, std::size_t pos, std::size_t count) {
    for (; count > 0 && pos < text.size(); --count)
        pos += decode_code_point(text, pos).length;
    return pos;
}

void append_hex_escape(std::string& out, char32_t code_point) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char buffer[8];
    std::size_t n = 0;
    do {
        buffer[n++] = kDigits[code_point & 0xF];
        code_point >>= 4;
    } while (code_point != 0);
    out += "\\u{";
    while (n > 0)
        out.push_back(buffer[--n]);
    out.push_back('}');
}

// Parses optional sign and ASCII digits filling all of text.
std::optional<std::int64_t> parse_integer(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulate the magnitude unsigned so that INT64_MIN is representable.
    const std::uint64_t limit =
        negative ? static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1
                 : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t magnitude = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (limit - digit) / 10) return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    if (negative) return static_cast<std::int64_t>(0 - magnitude);
    return static_cast<std::int64_t>(magnitude);
}

}  // namespace

bool is_counts_separator(char32_t code_point) {
    switch (code_point) {
        case U'\t':
        case U'\n':
        case U'\f':
        case U'\r':
        case U' ':
        case 0x1C:
        case 0x1D:
        case 0x1E:
        case 0x1F: return true;
        default: return false;
    }
}

bool is_unicode_whitespace(char32_t code_point) {
    if (code_point >= 0x09 && code_point <= 0x0D) return true;
    if (code_point >= 0x2000 && code_point <= 0x200A) return true;
    switch (code_point) {
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000: return true;
        default: return false;
    }
}

bool FieldReader::is_separator(char32_t code_point) const {
    return split_ == Split::CountsSeparators ? is_counts_separator(code_point)
                                             : is_unicode_whitespace(code_point);
}

std::optional<FieldSpan> FieldReader::next() {
    while (pos_ < text_.size()) {
        const CodePoint cp = decode_code_point(text_, pos_);
        if (!is_separator(cp.value)) break;
        pos_ += cp.length;
    }
    if (pos_ >= text_.size()) return std::nullopt;
    const std::size_t begin = pos_;
    while (pos_ < text_.size()) {
        const CodePoint cp = decode_code_point(text_, pos_);
        if (is_separator(cp.value)) break;
        pos_ += cp.length;
    }
    return FieldSpan{begin, pos_};
}

bool FieldReader::skip(std::size_t count) {
    for (; count > 0; --count) {
        if (!next()) return false;
    }
    return true;
}

std::string quote(std::string_view text) {
    std::string out;
    out.reserve(std::min(text.size(), 4 * kQuotedCodePoints) + 8);
    out.push_back('"');
    std::size_t pos = 0;
    for (std::size_t shown = 0; pos < text.size(); ++shown) {
        if (shown == kQuotedCodePoints) {
            // A whole field could be megabytes long; its start identifies it.
            out += "\u2026";
            break;
        }
        const CodePoint cp = decode_code_point(text, pos);
        switch (cp.value) {
            case U'\\': out += "\\\\"; break;
            case U'"': out += "\\\""; break;
            case U'\t': out += "\\t"; break;
            case U'\r': out += "\\r"; break;
            case U'\n': out += "\\n"; break;
            case 0: out += "\\0"; break;
            default:
                if (in_ranges(non_printable(), cp.value) ||
                    in_ranges(grapheme_extend(), cp.value)) {
                    append_hex_escape(out, cp.value);
                } else {
                    out.append(text.substr(pos, cp.length));
                }
        }
        pos += cp.length;
    }
    out.push_back('"');
    return out;
}

std::int64_t read_integer(std::string_view text, std::string_view field_name, std::size_t line) {
    std::size_t begin = text.size();
    std::size_t end = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const CodePoint cp = decode_code_point(text, pos);
        if (!is_unicode_whitespace(cp.value)) {
            begin = std::min(begin, pos);
            end = pos + cp.length;
        }
        pos += cp.length;
    }
    const std::string_view trimmed = begin < end ? text.substr(begin, end - begin) : "";
    const std::optional<std::int64_t> value = parse_integer(trimmed);
    if (!value) throw TableError::not_an_integer(field_name, text, line);
    return *value;
}

Header read_header(std::span<const std::string> lines) {
    const std::size_t n = std::min(lines.size(), kHeaderLines);
    if (n < kCountsLine) throw TableError::missing_line(n);

    const std::string_view counts = lines[kCountsLine - 1];
    FieldReader counts_fields(counts, FieldReader::Split::CountsSeparators);
    std::optional<FieldSpan> format_field;
    while (const auto field = counts_fields.next())
        format_field = field;
    if (!format_field) throw TableError::no_field("format", kCountsLine);
    const std::string_view format_text =
        counts.substr(format_field->begin, format_field->end - format_field->begin);

    if (format_text == "V2000") {
        const std::size_t atoms_end = advance_code_points(counts, 0, kV2000CountWidth);
        const std::size_t bonds_end = advance_code_points(counts, atoms_end, kV2000CountWidth);
        const std::int64_t atoms =
            read_integer(counts.substr(0, atoms_end), "atom count", kCountsLine);
        const std::int64_t bonds = read_integer(counts.substr(atoms_end, bonds_end - atoms_end),
                                                "bond count", kCountsLine);
        return {Format::V2000, atoms, bonds};
    }
    if (format_text != "V3000") throw TableError::bad_format(format_text, kCountsLine);

    if (n < kV3000CountsLine) throw TableError::missing_line(n);
    const std::string_view v3000_counts = lines[kV3000CountsLine - 1];
    FieldReader fields(v3000_counts, FieldReader::Split::CountsSeparators);
    const bool has_atom_field = fields.skip(3);
    const std::optional<FieldSpan> atom_field = has_atom_field ? fields.next() : std::nullopt;
    if (!atom_field) throw TableError::no_field("atom count", kV3000CountsLine);
    const std::optional<FieldSpan> bond_field = fields.next();
    if (!bond_field) throw TableError::no_field("bond count", kV3000CountsLine);
    const std::int64_t atoms =
        read_integer(v3000_counts.substr(atom_field->begin, atom_field->end - atom_field->begin),
                     "atom count", kV3000CountsLine);
    const std::int64_t bonds =
        read_integer(v3000_counts.substr(bond_field->begin, bond_field->end - bond_field->begin),
                     "bond count", kV3000CountsLine);
    return {Format::V3000, atoms, bonds};
}

}  // namespace molvane::ctable
