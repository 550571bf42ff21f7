// The SDBlock class: the Python object around a core::Block.
//
// The class is assembled from several files: each concept (records, table
// operations, protocols, readers) registers its methods, properties and
// slots with register_block_members() from a static initialiser, and
// block_type() builds the type from all of them on first use.
#pragma once

#include <Python.h>

#include <span>

#include "core/block.hpp"
#include "core/header_style.hpp"
#include "python/block_note.hpp"
#include "python/guard.hpp"
#include "python/object.hpp"
#include "python/ref.hpp"

namespace molvane::py {

// The C++ state of an SDBlock object.
struct BlockObject {
    core::Block block;
    UseGuard guard{};

    void name_block_in_error() const { py::name_block_in_error(block); }
};

struct BlockMembers {
    std::span<const PyMethodDef> methods;  // without the null sentinel
    std::span<const PyGetSetDef> getsets;  // without the null sentinel
    std::span<const PyType_Slot> slots;    // without the {0, nullptr} sentinel
};

// Call from a namespace-scope initialiser, before the module is imported.
bool register_block_members(BlockMembers members);

// The SDBlock type, created once per process (borrowed reference).
PyObject* block_type();

inline bool is_block(PyObject* object) {
    return PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(block_type()));
}

inline BlockObject& as_block(PyObject* object) {
    return state_of<BlockObject>(object);
}

// A new SDBlock object taking over `block`.
Ref new_block_object(core::Block&& block);

// Validates a `header` argument: "plain", "padded" or "copy".
core::HeaderStyle parse_header_style(PyObject* header);

// Appends the (name, value) pairs of `records` (a mapping or an iterable of
// pairs) to a freshly built block, as SDBlock(sdf, records) does.
void append_constructor_records(BlockObject& self, PyObject* records, core::HeaderStyle style);

}  // namespace molvane::py
