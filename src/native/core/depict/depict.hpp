// A structure drawing of one block as a complete SVG document, made from
// its connection table's own coordinates. Never throws for any bytes: a
// block that cannot be drawn gets a placeholder naming why.
#pragma once

#include <string>
#include <string_view>

#include "core/depict/svg_text.hpp"

namespace molvane::depict {

struct Options {
    double width = 300;
    double height = 200;
    double padding = -1;                      // < 0: room for the labels
    std::string_view background = "#FFFFFF";  // empty: transparent
};

// The drawing of a CTAB (a block's lines after the title through "M  END"),
// whose bytes are text as `bytes` says.
std::string depict_svg(std::string_view mdl, TextBytes bytes, const Options& options);

}  // namespace molvane::depict
