// The module's entry point: multi-phase initialisation whose one execution
// step fills the module's state (types, exceptions, names) and registers the
// classes, functions and attributes in a fixed order.
#include <Python.h>

#include "python/bgzf.hpp"
#include "python/block.hpp"
#include "python/block_iterator.hpp"
#include "python/ctable.hpp"
#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/random_access.hpp"
#include "python/read.hpp"
#include "python/record_iter.hpp"
#include "python/ref.hpp"
#include "python/sd_file.hpp"
#include "python/table.hpp"
#include "python/writer.hpp"
#include "python/zstd_frames.hpp"

namespace molvane::py {

namespace {

// Appends `name` to the module's __all__ (created on first use), then sets
// the attribute; `value` is a new reference.
void add_to_module(PyObject* module, const char* name, Ref value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = Ref::check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError{};
    }
    Ref text = Ref::check(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) < 0) throw PythonError{};
    if (PyObject_SetAttrString(module, name, value.get()) < 0) throw PythonError{};
}

int exec_module(PyObject* module) {
    return boundary(module, [&] {
        create_module_state(module);
        ModuleState& state = module_state(module);
        state.names = intern_names();
        state.malformed_record_error = new_malformed_record_error();
        state.internal_error = new_internal_error();
        state.ctable_type = new_ctable_type(module);
        state.block_type = new_block_type(module);
        state.block_iterator_type = new_block_iterator_type(module);
        state.record_iterator_type = new_record_iterator_type(module);
        state.name_iterator_type = new_name_iterator_type(module);
        state.writer_type = new_writer_type(module);
        state.table_type = new_table_type(module);
        state.sd_file_type = new_sd_file_type(module);

        add_to_module(module, "CTable", state.ctable_type);
        add_to_module(module, "SDBlock", state.block_type);
        add_to_module(module, "_SDBlockIterator", state.block_iterator_type);
        add_to_module(module, "_SDRecordIterator", state.record_iterator_type);
        add_to_module(module, "_SDNameIterator", state.name_iterator_type);
        add_to_module(module, "MalformedRecordError", state.malformed_record_error);
        add_to_module(module, "parse_sdf", parse_sdf_function(module));
        // Private helpers stay out of __all__.
        if (PyObject_SetAttrString(module, "_compression_of",
                                   compression_of_function(module).get()) < 0 ||
            PyObject_SetAttrString(module, "_archive_of", archive_of_function(module).get()) < 0 ||
            PyObject_SetAttrString(module, "_source_kind", source_kind_function(module).get()) <
                0 ||
            PyObject_SetAttrString(module, "_input_ending", input_ending_function(module).get()) <
                0 ||
            PyObject_SetAttrString(module, "_is_url", is_url_function(module).get()) < 0 ||
            PyObject_SetAttrString(module, "_parse_stream", parse_stream_function(module).get()) <
                0 ||
            PyObject_SetAttrString(module, "_next_block_start",
                                   next_block_start_function(module).get()) < 0)
            throw PythonError{};
        add_bgzf_functions(module);
        if (PyObject_SetAttrString(module, "_ZstdFrames", new_zstd_frames_type(module).get()) < 0)
            throw PythonError{};
        add_to_module(module, "write_sdf", write_sdf_function(module));
        add_to_module(module, "sdf_writer", sdf_writer_function(module));
        add_to_module(module, "_SDFWriter", state.writer_type);
        add_to_module(module, "_build_table", build_table_function(module));
        add_to_module(module, "_build_table_from_path", build_table_from_path_function(module));
        if (PyObject_SetAttrString(module, "_join_kinds", join_kinds_function(module).get()) < 0)
            throw PythonError{};
        add_to_module(module, "_SDTable", state.table_type);
        add_to_module(module, "SDFile", state.sd_file_type);
        add_to_module(module, "shards", shards_function(module));
        add_to_module(module, "__version__", Ref::check(PyUnicode_FromString(MOLVANE_VERSION)));
        add_to_module(module, "DEBUG_BUILD", Ref::borrow(MOLVANE_DEBUG_BUILD ? Py_True : Py_False));
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "native",
    "",
    kModuleStateSize,
    nullptr,
    module_slots,
    traverse_module_state,
    clear_module_state,
    free_module_state,
};

}  // namespace

}  // namespace molvane::py

PyMODINIT_FUNC PyInit_native(void) {
    return PyModuleDef_Init(&molvane::py::module_def);
}
