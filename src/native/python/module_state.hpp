// The module's state: everything that one module object owns, so that every
// interpreter and every fresh import of the module gets its own types,
// exceptions, interned names and fetched classes. The types are final, so an
// object's type leads to the state of the module that made it.
#pragma once

#include <Python.h>

#include <array>
#include <vector>

#include "python/lazy_ref.hpp"
#include "python/ref.hpp"

namespace molvane::py {

// Attribute names looked up on every call that needs them, interned once.
struct Names {
    Ref write;
    Ref read1;
    Ref read;
    Ref items;
    Ref fspath;
    Ref from_state;
    Ref name_cache_key;  // the record-name cache's key in each thread state's dict
};

struct ModuleState {
    Ref block_type;              // SDBlock
    Ref block_iterator_type;     // _SDBlockIterator
    Ref record_iterator_type;    // _SDRecordIterator
    Ref name_iterator_type;      // _SDNameIterator
    Ref ctable_type;             // CTable
    Ref writer_type;             // _SDFWriter
    Ref table_type;              // _SDTable
    Ref sd_file_type;            // SDFile
    Ref malformed_record_error;  // molvane.MalformedRecordError
    Ref internal_error;          // molvane.InternalError
    Names names;
    // The classes of molvane.ctable that table errors become, fetched on the
    // first raise, since importing molvane.ctable imports this module.
    std::array<LazyRef, 4> ctable_classes;
    // The _SDFWriter objects not closed yet (borrowed: each removes itself
    // when closed or destroyed), finished at interpreter exit.
    std::vector<PyObject*> open_writers;

    int traverse(visitproc visit, void* arg) const;
    void clear() noexcept;
};

inline PyTypeObject* as_type(PyObject* type) noexcept {
    return reinterpret_cast<PyTypeObject*>(type);
}

// The state of this extension's module `module`, made by its execution step.
ModuleState& module_state(PyObject* module);

// The state of the module that made `type`, one of this module's types.
ModuleState& type_state(PyTypeObject* type);

// The state of the module that made the type of `object`.
inline ModuleState& object_state(PyObject* object) {
    return type_state(Py_TYPE(object));
}

// The state behind `owner` (the module, one of its types, or an object of
// one), or null without an exception set when there is none.
ModuleState* find_state(PyObject* owner) noexcept;

// Whether `object` is an SDBlock of this module (the type is final).
inline bool is_block(const ModuleState& state, PyObject* object) noexcept {
    return Py_TYPE(object) == as_type(state.block_type.get());
}

// The module slot functions: the state lives on the heap, and the module's
// own memory holds the pointer to it (null until the execution step).
void create_module_state(PyObject* module);
int traverse_module_state(PyObject* module, visitproc visit, void* arg);
int clear_module_state(PyObject* module);
void free_module_state(void* module);
inline constexpr Py_ssize_t kModuleStateSize = sizeof(ModuleState*);

// Interns the names of `Names`.
Names intern_names();

}  // namespace molvane::py
