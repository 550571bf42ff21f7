// The SDBlock class: the Python object around a core::Block.
//
// block.cpp defines the type: construction, the sections (title, molblock,
// mdl) and the text forms, and the list of the member tables that the
// other concepts export (block_members.hpp).
#pragma once

#include <Python.h>

#include "core/block.hpp"
#include "core/header_style.hpp"
#include "python/block_note.hpp"
#include "python/guard.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/ref.hpp"

namespace molvane::py {

// The C++ state of an SDBlock object.
struct BlockObject {
    core::Block block;
    UseGuard guard{};

    // `owner` is this block's object (or one of its module's).
    void name_block_in_error(PyObject* owner) const { py::name_block_in_error(owner, block); }
};

// The SDBlock type of `module`, for its execution step.
Ref new_block_type(PyObject* module);

inline BlockObject& as_block(PyObject* object) {
    return state_of<BlockObject>(object);
}

// A new object of `block_type` (SDBlock) taking over `block`.
Ref new_block_object(PyObject* block_type, core::Block&& block);

// Validates a `header` argument: "plain", "padded" or "copy".
core::HeaderStyle parse_header_style(PyObject* header);

// Appends the (name, value) pairs of `records` (a mapping or an iterable of
// pairs) to a freshly built block, as SDBlock(sdf, records) does.
void append_constructor_records(const ModuleState& state, BlockObject& self, PyObject* records,
                                core::HeaderStyle style);

}  // namespace molvane::py
