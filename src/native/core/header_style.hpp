// How a record edit writes the header line of a new record.
#pragma once

namespace molvane::core {

enum class HeaderStyle {
    Plain,   // "> <name>"
    Padded,  // ">  <name>", as RDKit and Open Babel write
    Copy,    // the text around the name on the block's first named header line
};

}  // namespace molvane::core
