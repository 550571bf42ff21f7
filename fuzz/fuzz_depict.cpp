// Drawings of arbitrary blocks: every input, its first line taken as the
// title and the rest as the CTAB of a bytes block and of a str block, gives
// a complete SVG document that is well-formed XML in valid UTF-8 (balanced
// tags, quoted attributes, escaped text, only characters XML allows), and
// the implicit hydrogen counts are never negative.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/depict/depict.hpp"
#include "core/depict/hydrogens.hpp"
#include "core/depict/molecule.hpp"

namespace {

using namespace molvane::depict;

void check(bool condition) {
    if (!condition) std::abort();
}

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == ':' || c == '_' || c == '.';
}

// Checks the UTF-8 and the characters of the whole text.
void check_characters(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80             ? 1
                             : (lead & 0xE0) == 0xC0 ? 2
                             : (lead & 0xF0) == 0xE0 ? 3
                                                     : 4;
        check((lead & 0xC0) != 0x80 && lead < 0xF5 && i + length <= text.size());
        char32_t value = length == 1 ? lead : lead & (0xFFu >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            check((next & 0xC0) == 0x80);
            value = (value << 6) | (next & 0x3Fu);
        }
        if (value < 0x20) check(value == '\t' || value == '\n' || value == '\r');
        check(!(value >= 0xD800 && value <= 0xDFFF) && value != 0xFFFE && value != 0xFFFF);
        check(value <= 0x10FFFF);
        i += length;
    }
}

// Checks text (character data or an attribute value) for bare markup.
void check_escaped(std::string_view text, bool attribute) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        check(text[i] != '<' && !(attribute && text[i] == '"'));
        if (text[i] != '&') continue;
        const std::size_t end = text.find(';', i);
        check(end != std::string_view::npos);
        const std::string_view entity = text.substr(i + 1, end - i - 1);
        check(entity == "amp" || entity == "lt" || entity == "gt" || entity == "quot" ||
              entity == "apos" || (entity.size() > 1 && entity[0] == '#'));
    }
}

void check_well_formed(std::string_view svg) {
    check_characters(svg);
    check(svg.substr(0, 5) == "<svg " && svg.substr(svg.size() - 6) == "</svg>");
    std::vector<std::string_view> open;
    std::size_t i = 0;
    while (i < svg.size()) {
        if (svg[i] != '<') {
            const std::size_t next = svg.find('<', i);
            check(!open.empty());
            check_escaped(svg.substr(i, next - i), false);
            i = next == std::string_view::npos ? svg.size() : next;
            continue;
        }
        ++i;
        const bool closing = i < svg.size() && svg[i] == '/';
        if (closing) ++i;
        const std::size_t name_start = i;
        while (i < svg.size() && is_name_char(svg[i]))
            ++i;
        const std::string_view name = svg.substr(name_start, i - name_start);
        check(!name.empty());
        if (closing) {
            check(i < svg.size() && svg[i] == '>' && !open.empty() && open.back() == name);
            open.pop_back();
            ++i;
            continue;
        }
        // Attributes: name="value", separated by spaces.
        while (i < svg.size() && svg[i] == ' ') {
            ++i;
            const std::size_t attribute = i;
            while (i < svg.size() && is_name_char(svg[i]))
                ++i;
            check(i > attribute && i + 1 < svg.size() && svg[i] == '=' && svg[i + 1] == '"');
            const std::size_t value = i + 2;
            const std::size_t end = svg.find('"', value);
            check(end != std::string_view::npos);
            check_escaped(svg.substr(value, end - value), true);
            i = end + 1;
        }
        check(i < svg.size());
        if (svg[i] == '/') {
            check(i + 1 < svg.size() && svg[i + 1] == '>');
            i += 2;
        } else {
            check(svg[i] == '>');
            open.push_back(name);
            ++i;
        }
        check(!open.empty() || i == svg.size());
    }
    check(open.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input is a block: its first line is the title, the CTAB follows.
    std::string_view mdl(reinterpret_cast<const char*>(data), size);
    const std::size_t title_end = mdl.find('\n');
    mdl = title_end == std::string_view::npos ? std::string_view() : mdl.substr(title_end + 1);
    for (const TextBytes bytes : {TextBytes::Latin1, TextBytes::Utf8}) {
        Options options;
        options.width = 1 + static_cast<double>(size % 500);
        options.background = "#<&\"'>";
        check_well_formed(depict_svg(mdl, bytes, options));
    }
    const MoleculeReading reading = read_molecule(mdl);
    for (const int count : implicit_hydrogens(reading.molecule))
        check(count >= 0);
    return 0;
}
