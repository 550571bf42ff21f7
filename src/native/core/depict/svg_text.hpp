// The text of an SVG document: numbers written the same way everywhere, and
// table text made safe for XML (escaped, and only characters XML allows).
#pragma once

#include <string>
#include <string_view>

namespace molvane::depict {

// How the bytes of table text map to characters: bytes blocks are Latin-1,
// str blocks UTF-8 (anything invalid becomes U+FFFD).
enum class TextBytes { Latin1, Utf8 };

class SvgText {
  public:
    explicit SvgText(TextBytes bytes) : bytes_(bytes) {}

    SvgText& raw(std::string_view text) {
        out_.append(text);
        return *this;
    }
    // A coordinate or length, with one decimal and no "-0.0".
    SvgText& number(double value);
    SvgText& integer(long long value);
    // Table text as character data or attribute value: escaped, and every
    // character XML 1.0 refuses (controls, surrogates, U+FFFE/U+FFFF, bad
    // UTF-8) replaced by U+FFFD.
    SvgText& text(std::string_view table_text);

    std::string& str() { return out_; }

  private:
    void append_code_point(char32_t code_point);
    TextBytes bytes_;
    std::string out_;
};

}  // namespace molvane::depict
