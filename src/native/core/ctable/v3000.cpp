#include "core/ctable/v3000.hpp"

#include <chrono>
#include <random>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace molvane::ctable {
namespace {

constexpr std::string_view kEndCtab = "M  V30 END CTAB";
constexpr std::string_view kBeginCtab = "M  V30 BEGIN CTAB";
constexpr std::string_view kLinePrefix = "M  V30 ";
constexpr std::string_view kLinkNode = "M  V30 LINKNODE";
constexpr std::size_t kV3000CountsLine = 6;

constexpr std::string_view kRenumbering = "renumbering";
constexpr std::string_view kFixingCounts = "fixing counts";

struct SectionNames {
    std::string_view begin_keyword;
    std::string_view end_keyword;
    std::string_view line_kind;
    std::string_view index_name;
    std::string_view validating;
};

const SectionNames& names_of(SectionKind kind) {
    static constexpr SectionNames kAtom{"M  V30 BEGIN ATOM", "M  V30 END ATOM", "atom",
                                        "atom index", "validating atom indices"};
    static constexpr SectionNames kBond{"M  V30 BEGIN BOND", "M  V30 END BOND", "bond",
                                        "bond index", "validating bond indices"};
    return kind == SectionKind::Atom ? kAtom : kBond;
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
    }
    return true;
}

std::string_view field_text(std::string_view text, FieldSpan field) {
    return text.substr(field.begin, field.end - field.begin);
}

std::size_t root_ctab_end(const std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (is_keyword_line(lines[i], kEndCtab)) return i;
    }
    return lines.size();
}

// Reads the index of a logical line; throws the no-field or integer error.
std::int64_t read_index(std::string_view text, std::size_t line_number, SectionKind kind) {
    const std::string_view name = names_of(kind).index_name;
    const std::optional<FieldSpan> field = index_field(text);
    if (!field) throw TableError::no_field(name, line_number);
    return read_integer(field_text(text, *field), name, line_number);
}

bool has_field_starting_with(std::string_view line, std::string_view prefix) {
    FieldReader fields(line, FieldReader::Split::UnicodeWhitespace);
    while (const auto field = fields.next()) {
        if (starts_with_ignoring_case(field_text(line, *field), prefix)) return true;
    }
    return false;
}

bool any_line_starts_with(const std::vector<std::string>& lines, std::string_view keyword) {
    for (const std::string& line : lines) {
        if (is_keyword_line(line, keyword)) return true;
    }
    return false;
}

// Refuses renumbering when the table holds references that it would leave
// pointing at the old indices.
void refuse_stale_references(const std::vector<std::string>& lines, const EditSections& sections) {
    for (std::size_t i = sections.atoms.begin; i < sections.atoms.end; ++i) {
        if (has_field_starting_with(lines[i], "ATTCHORD=")) {
            throw TableError::unsupported(kRenumbering, "ATTCHORD atom references");
        }
    }
    for (std::size_t i = sections.bonds.begin; i < sections.bonds.end; ++i) {
        if (has_field_starting_with(lines[i], "ENDPTS=")) {
            throw TableError::unsupported(kRenumbering, "ENDPTS atom references");
        }
    }
    static constexpr std::pair<std::string_view, std::string_view> kBlocks[] = {
        {"M  V30 BEGIN SGROUP", "SGROUP atom and bond references"},
        {"M  V30 BEGIN COLLECTION", "COLLECTION atom and bond references"},
        {"M  V30 BEGIN OBJ3D", "OBJ3D atom references"},
        {kLinkNode, "LINKNODE atom references"},
    };
    for (const auto& [keyword, construct] : kBlocks) {
        if (any_line_starts_with(lines, keyword)) {
            throw TableError::unsupported(kRenumbering, construct);
        }
    }
}

// Hashes indices with a key chosen at random once per process. The identity
// hash of std::hash lets a file aim its indices at one bucket (multiples of
// the bucket count) and turn every lookup into a walk of all the others.
struct IndexHash {
    std::size_t operator()(std::int64_t index) const noexcept {
        // splitmix64's finaliser: every input bit moves every output bit.
        std::uint64_t x = static_cast<std::uint64_t>(index) ^ key();
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
        return static_cast<std::size_t>(x ^ (x >> 31));
    }

    static std::uint64_t key() noexcept {
        static const std::uint64_t value = [] {
            std::uint64_t seed = static_cast<std::uint64_t>(
                std::chrono::steady_clock::now().time_since_epoch().count());
            try {
                std::random_device device;
                seed ^= (static_cast<std::uint64_t>(device()) << 32) | device();
            } catch (...) {
                // No entropy source: the clock alone still varies per process.
            }
            return seed;
        }();
        return value;
    }
};

struct AtomEntry {
    std::uint64_t new_index;
    bool ambiguous;
};
using AtomIndexMap = std::unordered_map<std::int64_t, AtomEntry, IndexHash>;

std::string rewritten_line(std::uint64_t new_index, std::string_view rest) {
    std::string line(kLinePrefix);
    line += std::to_string(new_index);
    line += rest;
    return line;
}

std::vector<std::string> renumber_atoms(const std::vector<std::string>& lines, Section atoms,
                                        AtomIndexMap& map, bool& changed) {
    std::vector<std::string> result;
    result.reserve(atoms.size());
    for (std::size_t i = atoms.begin; i < atoms.end; ++i) {
        const std::string_view line = lines[i];
        const std::size_t line_number = i + 1;
        const std::optional<FieldSpan> field = index_field(line);
        if (!field) throw TableError::no_field("atom index", line_number);
        const std::int64_t old_index =
            read_integer(field_text(line, *field), "atom index", line_number);
        const std::uint64_t new_index = result.size() + 1;
        if (old_index < 0 || static_cast<std::uint64_t>(old_index) != new_index) changed = true;
        const auto [entry, inserted] = map.try_emplace(old_index, AtomEntry{new_index, false});
        if (!inserted) entry->second.ambiguous = true;
        result.push_back(rewritten_line(new_index, line.substr(field->end)));
    }
    return result;
}

std::uint64_t map_atom(const AtomIndexMap& map, std::int64_t atom, std::size_t line_number) {
    const auto entry = map.find(atom);
    if (entry == map.end()) throw TableError::not_an_atom_index(atom, line_number);
    return entry->second.new_index;
}

std::vector<std::string> renumber_bonds(const std::vector<std::string>& lines, Section bonds,
                                        const AtomIndexMap& map, bool& changed) {
    static constexpr std::string_view kFieldNames[] = {"bond index", "bond type", "first bond atom",
                                                       "second bond atom"};
    std::vector<std::string> result;
    result.reserve(bonds.size());
    for (std::size_t i = bonds.begin; i < bonds.end; ++i) {
        const std::string_view line = lines[i];
        const std::size_t line_number = i + 1;
        FieldReader reader(line, FieldReader::Split::UnicodeWhitespace);
        reader.skip(2);
        FieldSpan fields[4];
        for (std::size_t f = 0; f < 4; ++f) {
            const std::optional<FieldSpan> field = reader.next();
            if (!field) throw TableError::no_field(kFieldNames[f], line_number);
            fields[f] = *field;
        }
        const std::int64_t old_index =
            read_integer(field_text(line, fields[0]), kFieldNames[0], line_number);
        const std::uint64_t new_index = result.size() + 1;
        if (old_index < 0 || static_cast<std::uint64_t>(old_index) != new_index) changed = true;
        const std::int64_t first =
            read_integer(field_text(line, fields[2]), kFieldNames[2], line_number);
        const std::int64_t second =
            read_integer(field_text(line, fields[3]), kFieldNames[3], line_number);

        // Ambiguity is reported before a missing atom, first atom before second.
        for (const std::int64_t atom : {first, second}) {
            const auto entry = map.find(atom);
            if (entry != map.end() && entry->second.ambiguous) {
                throw TableError::ambiguous_bond_atom(atom, line_number);
            }
        }
        const std::uint64_t new_first = map_atom(map, first, line_number);
        const std::uint64_t new_second = map_atom(map, second, line_number);

        std::string bond(kLinePrefix);
        bond += std::to_string(new_index);
        bond += ' ';
        bond += field_text(line, fields[1]);
        bond += ' ';
        bond += std::to_string(new_first);
        bond += ' ';
        bond += std::to_string(new_second);
        bond += line.substr(fields[3].end);
        result.push_back(std::move(bond));
    }
    return result;
}

std::uint64_t count_logical_lines(const std::vector<std::string>& lines, Section section) {
    std::uint64_t count = 0;
    LogicalLines logical(lines, section);
    while (logical.next())
        ++count;
    return count;
}

}  // namespace

bool is_keyword_line(std::string_view line, std::string_view keyword) {
    return starts_with_ignoring_case(line, keyword);
}

bool is_continued(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    return !line.empty() && line.back() == '-';
}

Section locate_section(const std::vector<std::string>& lines, SectionKind kind) {
    const SectionNames& names = names_of(kind);
    const std::size_t root_end = root_ctab_end(lines);

    std::size_t begin_line = root_end;
    for (std::size_t i = 0; i < root_end; ++i) {
        if (is_keyword_line(lines[i], names.begin_keyword)) {
            begin_line = i;
            break;
        }
    }
    if (begin_line == root_end) return {};

    for (std::size_t i = begin_line + 1; i < root_end; ++i) {
        if (is_keyword_line(lines[i], names.begin_keyword)) {
            throw TableError::second_section(names.begin_keyword, i + 1);
        }
    }
    std::size_t end_line = root_end;
    for (std::size_t i = begin_line + 1; i < root_end; ++i) {
        if (is_keyword_line(lines[i], names.end_keyword)) {
            end_line = i;
            break;
        }
    }
    if (end_line == root_end) {
        throw TableError::no_end_line(names.begin_keyword, names.end_keyword, begin_line + 1);
    }
    const Section section{begin_line + 1, end_line};
    if (section.size() > 0 && is_continued(lines[section.end - 1])) {
        throw TableError::continued_last_line(names.end_keyword, section.end);
    }
    return section;
}

EditSections locate_sections_for_editing(const std::vector<std::string>& lines,
                                         std::string_view operation) {
    std::size_t begin_ctab_lines = 0;
    for (const std::string& line : lines) {
        if (is_keyword_line(line, kBeginCtab)) ++begin_ctab_lines;
    }
    if (begin_ctab_lines > 1) {
        throw TableError::unsupported(operation, "CTABs nested in RGROUP or TEMPLATE blocks");
    }
    const Section atoms = locate_section(lines, SectionKind::Atom);
    const Section bonds = locate_section(lines, SectionKind::Bond);
    return {atoms, bonds};
}

bool LogicalLines::next() {
    if (pos_ >= end_) return false;
    line_number_ = pos_ + 1;
    text_ = lines_[pos_++];
    if (!is_continued(text_) || pos_ >= end_) return true;

    joined_.assign(text_);
    while (is_continued(joined_) && pos_ < end_) {
        // Cut at the final "-", dropping it and the line-end characters after it.
        std::size_t cut = joined_.size();
        while (joined_[cut - 1] == '\r' || joined_[cut - 1] == '\n')
            --cut;
        joined_.resize(cut - 1);
        std::string_view continuation = lines_[pos_++];
        if (is_keyword_line(continuation, kLinePrefix))
            continuation.remove_prefix(kLinePrefix.size());
        joined_ += continuation;
    }
    text_ = joined_;
    return true;
}

std::optional<FieldSpan> index_field(std::string_view text) {
    FieldReader fields(text, FieldReader::Split::UnicodeWhitespace);
    if (!fields.skip(2)) return std::nullopt;
    return fields.next();
}

bool validate_indices(const Table& table, SectionKind kind, bool strict) {
    const SectionNames& names = names_of(kind);
    if (table.format == Format::V2000) throw TableError::v3000_only(names.validating);
    const Section section = locate_section(table.lines, kind);

    std::unordered_set<std::int64_t, IndexHash> seen;
    seen.reserve(section.size());
    std::uint64_t ordinal = 0;
    LogicalLines logical(table.lines, section);
    while (logical.next()) {
        ++ordinal;
        const std::int64_t index = read_index(logical.text(), logical.line_number(), kind);
        if (strict && (index < 0 || static_cast<std::uint64_t>(index) != ordinal)) {
            throw TableError::out_of_order(names.index_name, index, logical.line_number());
        }
        if (!seen.insert(index).second) {
            throw TableError::duplicate(names.index_name, index, logical.line_number());
        }
    }
    const std::int64_t declared = kind == SectionKind::Atom ? table.num_atoms : table.num_bonds;
    if (declared < 0 || ordinal > static_cast<std::uint64_t>(declared)) {
        throw TableError::more_lines(names.line_kind, ordinal, declared);
    }
    if (ordinal < static_cast<std::uint64_t>(declared)) {
        throw TableError::fewer_lines(names.line_kind, ordinal, declared);
    }
    return true;
}

void renumber_indices(Table& table) {
    if (table.format == Format::V2000) throw TableError::v3000_only(kRenumbering);
    const std::vector<std::string>& lines = table.lines;
    const EditSections sections = locate_sections_for_editing(lines, kRenumbering);

    for (const Section section : {sections.atoms, sections.bonds}) {
        for (std::size_t i = section.begin; i < section.end; ++i) {
            if (is_continued(lines[i])) {
                throw TableError::unsupported(kRenumbering, "continued (-) atom or bond lines");
            }
        }
    }

    bool changed = false;
    AtomIndexMap map;
    map.reserve(sections.atoms.size());
    std::vector<std::string> atoms = renumber_atoms(lines, sections.atoms, map, changed);
    std::vector<std::string> bonds = renumber_bonds(lines, sections.bonds, map, changed);
    if (changed) refuse_stale_references(lines, sections);

    // Every check has passed; moving the strings in cannot fail.
    for (std::size_t i = 0; i < atoms.size(); ++i) {
        table.lines[sections.atoms.begin + i] = std::move(atoms[i]);
    }
    for (std::size_t i = 0; i < bonds.size(); ++i) {
        table.lines[sections.bonds.begin + i] = std::move(bonds[i]);
    }
}

void fix_counts(Table& table) {
    if (table.format == Format::V2000) throw TableError::v3000_only(kFixingCounts);
    const EditSections sections = locate_sections_for_editing(table.lines, kFixingCounts);
    const std::uint64_t atoms = count_logical_lines(table.lines, sections.atoms);
    const std::uint64_t bonds = count_logical_lines(table.lines, sections.bonds);

    if (table.lines.size() < kV3000CountsLine) throw TableError::missing_line(table.lines.size());
    const std::string_view counts = table.lines[kV3000CountsLine - 1];
    FieldReader fields(counts, FieldReader::Split::CountsSeparators);
    const std::optional<FieldSpan> atom_field = fields.skip(3) ? fields.next() : std::nullopt;
    if (!atom_field) throw TableError::no_field("atom count", kV3000CountsLine);
    const std::optional<FieldSpan> bond_field = fields.next();
    if (!bond_field) throw TableError::no_field("bond count", kV3000CountsLine);

    std::string rewritten(counts.substr(0, atom_field->begin));
    rewritten += std::to_string(atoms);
    rewritten += counts.substr(atom_field->end, bond_field->begin - atom_field->end);
    rewritten += std::to_string(bonds);
    rewritten += counts.substr(bond_field->end);

    table.lines[kV3000CountsLine - 1] = std::move(rewritten);
    table.num_atoms = static_cast<std::int64_t>(atoms);
    table.num_bonds = static_cast<std::int64_t>(bonds);
}

}  // namespace molvane::ctable
