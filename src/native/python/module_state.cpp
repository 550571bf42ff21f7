#include "python/module_state.hpp"

namespace molvane::py {

namespace {

// The pointer kept in a module's memory, or null before the execution step.
ModuleState* stored_state(void* memory) noexcept {
    return memory ? *static_cast<ModuleState**>(memory) : nullptr;
}

ModuleState& require(ModuleState* state) {
    if (!state) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "molvane.native has no state");
        throw PythonError{};
    }
    return *state;
}

Ref intern(const char* text) {
    return Ref::check(PyUnicode_InternFromString(text));
}

}  // namespace

int ModuleState::traverse(visitproc visit, void* arg) const {
    for (const Ref* ref : {&block_type, &block_iterator_type, &record_iterator_type,
                           &name_iterator_type, &ctable_type, &writer_type, &table_type,
                           &sd_file_type, &malformed_record_error, &internal_error})
        Py_VISIT(ref->get());
    for (const LazyRef& cls : ctable_classes)
        if (int result = cls.traverse(visit, arg)) return result;
    return 0;
}

void ModuleState::clear() noexcept {
    for (Ref* ref : {&block_type, &block_iterator_type, &record_iterator_type, &name_iterator_type,
                     &ctable_type, &writer_type, &table_type, &sd_file_type,
                     &malformed_record_error, &internal_error})
        ref->reset();
    for (LazyRef& cls : ctable_classes)
        cls.clear();
}

ModuleState& module_state(PyObject* module) {
    return require(stored_state(PyModule_GetState(module)));
}

ModuleState& type_state(PyTypeObject* type) {
    return require(stored_state(PyType_GetModuleState(type)));
}

ModuleState* find_state(PyObject* owner) noexcept {
    if (!owner) return nullptr;
    void* memory = nullptr;
    if (PyModule_Check(owner)) {
        memory = PyModule_GetState(owner);
    } else {
        PyObject* type = PyType_Check(owner) ? owner : reinterpret_cast<PyObject*>(Py_TYPE(owner));
        memory = PyType_GetModuleState(reinterpret_cast<PyTypeObject*>(type));
    }
    if (!memory) PyErr_Clear();
    return stored_state(memory);
}

void create_module_state(PyObject* module) {
    void* memory = PyModule_GetState(module);
    if (!memory) throw PythonError{};
    auto& slot = *static_cast<ModuleState**>(memory);
    delete slot;  // a failed execution step may have left one
    slot = new ModuleState();
}

int traverse_module_state(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = stored_state(PyModule_GetState(module));
    return state ? state->traverse(visit, arg) : 0;
}

int clear_module_state(PyObject* module) {
    if (ModuleState* state = stored_state(PyModule_GetState(module))) state->clear();
    return 0;
}

void free_module_state(void* module) {
    void* memory = PyModule_GetState(static_cast<PyObject*>(module));
    if (!memory) {
        PyErr_Clear();
        return;
    }
    auto& slot = *static_cast<ModuleState**>(memory);
    delete slot;
    slot = nullptr;
}

Names intern_names() {
    return {intern("write"),
            intern("read1"),
            intern("read"),
            intern("items"),
            intern("__fspath__"),
            intern("_from_state"),
            intern("molvane.native.record_name_cache")};
}

}  // namespace molvane::py
