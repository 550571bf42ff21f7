// Notes that tell which block an error is about: a malformed data header or
// a connection-table error in a file of a million blocks is only useful when
// it names the block, by title and by where the reader found it.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "core/block.hpp"

namespace molvane::py {

// A block's title and origin, kept by objects derived from a block (a CTable)
// so that their errors can name it after the block has changed or gone.
struct BlockLabel {
    std::string title;  // the title's bytes, cut to a readable length
    core::BlockOrigin origin;

    static BlockLabel of(const core::Block& block);
};

// A title for a message: decoded as UTF-8 (invalid bytes shown as U+FFFD) and
// cut after 80 characters with an ellipsis.
std::string readable_title(std::string_view title);

// Call only inside a catch block. When the exception in flight is a malformed
// record header or a connection-table error, it is raised as its Python
// exception with the note "In the SDBlock titled '{}' (block {} from 0, at
// byte {})." (the parts the label knows) and PythonError is thrown; any other
// exception is left for the caller to rethrow.
// `owner` leads to the module's exception classes, as for boundary().
void name_block_in_error(PyObject* owner, const BlockLabel& label);
void name_block_in_error(PyObject* owner, const core::Block& block);

}  // namespace molvane::py
