// Python objects whose state is a C++ struct: the interpreter's object header
// followed by the state, which is built in place once the type's allocator
// has returned and destroyed before the memory goes back.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "python/ref.hpp"

namespace molvane::py {

template <class State>
struct PythonObject {
    PyObject_HEAD
    State state;
};

// The basic size of a type whose objects hold a State, for its PyType_Spec.
template <class State>
constexpr int object_size = static_cast<int>(sizeof(PythonObject<State>));

template <class State>
State& state_of(PyObject* object) noexcept {
    return reinterpret_cast<PythonObject<State>*>(object)->state;
}

// A new object of `type` holding State{args...}: the state's leading members
// come from `args`, the others from their default member initialisers.
// Building it must not throw, since the object's dealloc destroys it.
template <class State, class... Args>
Ref new_object(PyObject* type, Args&&... args) {
    static_assert(noexcept(State{std::forward<Args>(args)...}));
    auto* type_object = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type_object, Py_tp_alloc));
    Ref object = Ref::check(alloc(type_object, 0));
    new (&state_of<State>(object.get())) State{std::forward<Args>(args)...};
    return object;
}

// The tp_dealloc of a type whose objects hold a State.
template <class State>
void dealloc_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // Every object holds a reference to its heap type; it goes last.
    Ref type_reference = Ref::steal(reinterpret_cast<PyObject*>(type));
    if (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
    state_of<State>(self).~State();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
}

// The tp_traverse of a collected type: the object's heap type, then what
// State::traverse visits.
template <class State>
int traverse_object(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return state_of<State>(self).traverse(visit, arg);
}

// A new heap type of `module` made from `spec`. Specs and their tables are
// plain static data that every type made from them points into, in any
// interpreter, so they live for the process; the types belong to the module.
inline Ref new_type(PyObject* module, PyType_Spec& spec) {
    return Ref::check(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace molvane::py
