// A block as an HTML fragment: its drawing beside a table of its title and
// records, for notebooks. Never throws for any bytes: records are read past
// unnamed headers, and text is escaped as the drawing's text is.
#pragma once

#include <string>

#include "core/block.hpp"
#include "core/depict/depict.hpp"

namespace molvane::depict {

std::string block_html(core::Block& block, const Options& options);

}  // namespace molvane::depict
