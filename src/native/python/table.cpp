#include "python/table.hpp"

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/arrow_export.hpp"
#include "core/error.hpp"
#include "core/input_file.hpp"
#include "core/mapped_reader.hpp"
#include "core/table_builder.hpp"
#include "python/arguments.hpp"
#include "python/block.hpp"
#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/method_def.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/without_gil.hpp"

namespace molvane::py {

namespace {

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// Blocks go to the builder this many at a time, each batch without the lock.
constexpr size_t kBlocksPerBatch = 256;

struct TableObject {
    std::shared_ptr<const core::Table> table;
};

// --- capsules -------------------------------------------------------------------

void free_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
    if (!schema) {
        PyErr_Clear();
        return;
    }
    if (schema->release) schema->release(schema);
    delete schema;
}

void free_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (!stream) {
        PyErr_Clear();
        return;
    }
    if (stream->release) stream->release(stream);
    delete stream;
}

template <class Struct>
Ref new_capsule(std::unique_ptr<Struct> filled, const char* name, PyCapsule_Destructor destructor) {
    Ref capsule = Ref::steal(PyCapsule_New(filled.get(), name, destructor));
    if (!capsule) {
        filled->release(filled.get());
        throw PythonError{};
    }
    filled.release();
    return capsule;
}

PyObject* table_schema(PyObject* self, PyObject*) {
    return boundary(self, [&] {
        auto schema = std::make_unique<ArrowSchema>();
        core::export_schema(*state_of<TableObject>(self).table, schema.get());
        return new_capsule(std::move(schema), kSchemaCapsule, free_schema_capsule).release();
    });
}

PyObject* table_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary(self, [&] {
        static const char* const keywords[] = {"requested_schema", nullptr};
        PyObject* requested = Py_None;
        parse_arguments(args, kwargs, "|O:__arrow_c_stream__", keywords, &requested);
        // The columns have one layout; a consumer that wants another casts.
        auto stream = std::make_unique<ArrowArrayStream>();
        core::export_stream(state_of<TableObject>(self).table, stream.get());
        return new_capsule(std::move(stream), kStreamCapsule, free_stream_capsule).release();
    });
}

PyObject* table_num_rows(PyObject* self, void*) {
    return boundary(self, [&] {
        return Ref::check(PyLong_FromLongLong(state_of<TableObject>(self).table->rows)).release();
    });
}

PyObject* table_skipped(PyObject* self, void*) {
    return boundary(self, [&] {
        return Ref::check(PyLong_FromUnsignedLongLong(state_of<TableObject>(self).table->skipped))
            .release();
    });
}

// --- arguments -------------------------------------------------------------------

// A column name: str as UTF-8, or bytes as they are.
std::string name_bytes(PyObject* name, const char* what) {
    if (PyUnicode_Check(name)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
        if (!utf8) throw PythonError{};
        return std::string(utf8, static_cast<size_t>(size));
    }
    if (PyBytes_Check(name)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(name, &data, &size) < 0) throw PythonError{};
        return std::string(data, static_cast<size_t>(size));
    }
    std::string format = std::string(what) + " must be str, bytes or None, not %U";
    raise_wrong_type(format.c_str(), name);
}

std::optional<std::string> optional_name(PyObject* name, const char* what) {
    if (name == Py_None) return std::nullopt;
    return name_bytes(name, what);
}

bool text_equals(PyObject* object, const char* expected) {
    if (!PyUnicode_Check(object)) return false;
    Ref wanted = Ref::check(PyUnicode_FromString(expected));
    int equal = PyObject_RichCompareBool(object, wanted.get(), Py_EQ);
    if (equal < 0) throw PythonError{};
    return equal == 1;
}

core::TableOptions parse_options(PyObject* columns, PyObject* title, PyObject* molblock,
                                 PyObject* types, PyObject* errors) {
    core::TableOptions options;
    options.title = optional_name(title, "title");
    options.molblock = optional_name(molblock, "molblock");
    if (options.title && options.molblock && *options.title == *options.molblock)
        raise(PyExc_ValueError, "title and molblock name the same column");
    if (columns != Py_None) {
        Ref iterator = Ref::check(PyObject_GetIter(columns));
        std::vector<std::string> names;
        while (Ref name = Ref::steal(PyIter_Next(iterator.get())))
            names.push_back(name_bytes(name.get(), "a column name"));
        throw_if_error();
        options.columns = std::move(names);
    }
    if (PyDict_Check(types)) {
        // Named columns take the type given; the others are inferred.
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* type = nullptr;
        while (PyDict_Next(types, &position, &name, &type)) {
            core::ColumnType column_type = core::ColumnType::String;
            if (text_equals(type, "int"))
                column_type = core::ColumnType::Int64;
            else if (text_equals(type, "float"))
                column_type = core::ColumnType::Float64;
            else if (!text_equals(type, "str"))
                raise(PyExc_ValueError, "the types of a types mapping are 'int', 'float' or 'str'");
            options.forced.emplace_back(name_bytes(name, "a column name"), column_type);
        }
    } else if (text_equals(types, "auto")) {
        options.infer_types = true;
    } else if (text_equals(types, "str")) {
        options.infer_types = false;
    } else {
        raise(PyExc_ValueError, "types must be 'auto', 'str' or a mapping of names to types");
    }
    if (text_equals(errors, "raise"))
        options.skip_malformed = false;
    else if (text_equals(errors, "skip"))
        options.skip_malformed = true;
    else
        raise(PyExc_ValueError, "errors must be 'raise' or 'skip'");
    options.strict_conversion = !options.skip_malformed;
    return options;
}

// --- building --------------------------------------------------------------------

std::string access_of(const core::FailedField& field) {
    using Part = core::FailedField::Part;
    switch (field.part) {
        case Part::Title: return "Reading the title of";
        case Part::Molblock: return "Reading the molblock of";
        case Part::RecordName:
        case Part::RecordValue: break;
    }
    Ref name = decode_replacing(field.record_name);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (!utf8) throw PythonError{};
    return "Reading record '" + std::string(utf8, static_cast<size_t>(size)) + "' of";
}

// A batch of blocks held for reading while the lock is released.
struct HeldBlocks {
    std::vector<Ref> objects;
    std::vector<std::unique_ptr<SharedUse>> uses;

    void clear() noexcept {
        uses.clear();
        objects.clear();
    }
};

// The error of a block of the file's reader, raised with the block named.
[[noreturn]] void raise_for_block(PyObject* module, const core::TableBuilder& builder,
                                  const core::Block& block) {
    try {
        throw;
    } catch (const core::DecodeError& error) {
        raise_block_decode_error(block, error.bytes(), error.start(), error.end(),
                                 access_of(builder.failed_field()));
    } catch (...) {
        name_block_in_error(module, block);
        throw;
    }
}

void add_batch(PyObject* module, core::TableBuilder& builder, HeldBlocks& held) {
    const size_t count = held.objects.size();
    size_t at = 0;
    try {
        without_gil([&] {
            for (; at < count; ++at)
                builder.add(as_block(held.objects[at].get()).block);
        });
    } catch (...) {
        raise_for_block(module, builder, as_block(held.objects[at].get()).block);
    }
    held.clear();
}

Ref new_table(const ModuleState& state, core::TableBuilder& builder) {
    auto table = std::make_shared<core::Table>(without_gil([&] { return builder.finish(); }));
    return new_object<TableObject>(state.table_type.get(),
                                   std::shared_ptr<const core::Table>(std::move(table)));
}

PyObject* build_table(PyObject* module, PyObject* args, PyObject* kwargs) {
    return boundary(module, [&] {
        static const char* const keywords[] = {"blocks", "columns", "title", "molblock",
                                               "types",  "errors",  nullptr};
        PyObject* blocks = nullptr;
        PyObject* columns = Py_None;
        PyObject* title = Py_None;
        PyObject* molblock = Py_None;
        PyObject* types = nullptr;
        PyObject* errors = nullptr;
        parse_arguments(args, kwargs, "O|$OOOOO:_build_table", keywords, &blocks, &columns, &title,
                        &molblock, &types, &errors);
        Ref auto_types = Ref::check(PyUnicode_FromString("auto"));
        Ref raise_errors = Ref::check(PyUnicode_FromString("raise"));
        core::TableOptions options =
            parse_options(columns, title, molblock, types ? types : auto_types.get(),
                          errors ? errors : raise_errors.get());
        ModuleState& state = module_state(module);
        Ref iterator = Ref::check(PyObject_GetIter(blocks));

        std::optional<core::TableBuilder> builder;
        bool is_bytes = false;
        HeldBlocks held;
        held.objects.reserve(kBlocksPerBatch);
        held.uses.reserve(kBlocksPerBatch);
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (!is_block(state, item.get()))
                raise_wrong_type("expected SDBlock objects, got %U", item.get());
            BlockObject& object = as_block(item.get());
            if (!builder) {
                is_bytes = object.block.is_bytes;
                options.is_bytes = is_bytes;
                builder.emplace(options);
            } else if (object.block.is_bytes != is_bytes) {
                raise(PyExc_TypeError, "cannot build one table from str and bytes blocks");
            }
            held.uses.push_back(std::make_unique<SharedUse>(object.guard));
            object.block.locate_mdl_end();
            held.objects.push_back(std::move(item));
            if (held.objects.size() == kBlocksPerBatch) {
                add_batch(module, *builder, held);
                check_signals();
            }
        }
        throw_if_error();
        if (!builder) {
            options.is_bytes = false;
            builder.emplace(options);
        }
        if (!held.objects.empty()) add_batch(module, *builder, held);
        return new_table(state, *builder).release();
    });
}

constexpr std::string_view kFileShrank =
    "the file shrank while it was read (it was truncated or rewritten in place)";

// A mapped file's blocks go to the builder straight from the reader, a
// batch at a time without the lock: no SDBlock is made. A file that cannot
// be mapped (a pipe, a network file system) gives None, for the caller to
// read it through parse_sdf.
PyObject* build_table_from_path(PyObject* module, PyObject* args, PyObject* kwargs) {
    return boundary(module, [&] {
        static const char* const keywords[] = {"path",  "columns", "title", "molblock",
                                               "types", "errors",  nullptr};
        PyObject* path = nullptr;
        PyObject* columns = Py_None;
        PyObject* title = Py_None;
        PyObject* molblock = Py_None;
        PyObject* types = nullptr;
        PyObject* errors = nullptr;
        parse_arguments(args, kwargs, "O|$OOOOO:_build_table_from_path", keywords, &path, &columns,
                        &title, &molblock, &types, &errors);
        // `path` is what os.fspath() gave: str paths read as text, bytes as bytes.
        Ref encoded;
        if (PyUnicode_Check(path))
            encoded = Ref::check(PyUnicode_EncodeFSDefault(path));
        else if (PyBytes_Check(path))
            encoded = Ref::borrow(path);
        else
            raise_wrong_type("path must be str or bytes, not %U", path);
        Ref auto_types = Ref::check(PyUnicode_FromString("auto"));
        Ref raise_errors = Ref::check(PyUnicode_FromString("raise"));
        core::TableOptions options =
            parse_options(columns, title, molblock, types ? types : auto_types.get(),
                          errors ? errors : raise_errors.get());
        options.is_bytes = PyBytes_Check(path);
        core::TableBuilder builder(options);
        const ModuleState& state = module_state(module);

        const std::string path_bytes = name_bytes(encoded.get(), "path");
        core::InputFile file;
        core::IoOutcome outcome;
        for (;;) {
            outcome = without_gil([&]() noexcept { return file.open(path_bytes); });
            if (outcome.status != core::IoOutcome::Status::Interrupted) break;
            check_signals();
        }
        raise_if_failed(outcome, path);
        std::shared_ptr<const core::Mapping> mapping = file.take_mapping();
        file.close();
        if (!mapping) return Ref::borrow(Py_None).release();

        core::MappedReader reader(std::move(mapping), !options.is_bytes, false);
        core::Block block;
        uint64_t number = 0;
        bool intact = true;
        while (intact && !reader.exhausted()) {
            try {
                without_gil([&] {
                    if (!reader.has_block() && !(intact = reader.read_batch())) return;
                    while (reader.has_block()) {
                        block = reader.take();
                        block.origin.number = number++;
                        block.locate_mdl_end();
                        builder.add(block);
                    }
                });
            } catch (...) {
                raise_for_block(module, builder, block);
            }
            check_signals();
        }
        if (!intact) raise_os_error(EIO, kFileShrank, path);
        return new_table(state, builder).release();
    });
}

// --- the type ---------------------------------------------------------------------

constexpr const char* kBuildTableDoc =
    "_build_table($module, blocks, /, *, columns=None, title=None, molblock=None, types='auto', "
    "errors='raise')\n--\n\n"
    "Builds the columns of the SDBlocks that `blocks` yields, one row per block.\n\n"
    "Columns: `title` (a name, or None for none), the records (every name in the order\n"
    "first seen, or the names of `columns` in their order), `molblock` (a name or None).\n"
    "A block without a record has null there; of a name repeated in a block the last\n"
    "value wins. `types='auto'` makes a record column int64 when every non-empty\n"
    "value matches [+-]?[0-9]+ and fits int64, else float64 when every non-empty value\n"
    "matches [+-]?([0-9]+(.[0-9]*)?|.[0-9]+)([eE][+-]?[0-9]+)? or nan, inf, infinity (any\n"
    "case) within double's range, spaces and tabs around a value ignored; empty values\n"
    "of such a column are null; other columns, and every one with types='str', hold\n"
    "the values as written: UTF-8 strings for str blocks, binary for bytes blocks.\n"
    "A dict {name: 'int' | 'float' | 'str'} gives the named record columns that type;\n"
    "a value that does not convert raises ValueError, or is null with errors='skip'.\n"
    "`errors='skip'` leaves the records of a block with a malformed data header null.";

constexpr const char* kBuildTableFromPathDoc =
    "_build_table_from_path($module, path, /, *, columns=None, title=None, molblock=None, "
    "types='auto', errors='raise')\n--\n\n"
    "As _build_table for the blocks of the file at `path` (what os.fspath() gives: str\n"
    "reads text, bytes reads bytes), taken from its mapping without making SDBlocks.\n"
    "None when the file cannot be mapped: read it through parse_sdf then.";

PyMethodDef kBuildTableFromPathDef = {"_build_table_from_path",
                                      keywords_method(build_table_from_path),
                                      METH_VARARGS | METH_KEYWORDS, kBuildTableFromPathDoc};

PyMethodDef kBuildTableDef = {"_build_table", keywords_method(build_table),
                              METH_VARARGS | METH_KEYWORDS, kBuildTableDoc};

PyMethodDef kMethods[] = {
    {"__arrow_c_schema__", table_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe table's schema as an 'arrow_schema' PyCapsule."},
    {"__arrow_c_stream__", keywords_method(table_stream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The table as an 'arrow_array_stream' PyCapsule of one batch."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"num_rows", table_num_rows, nullptr, "The number of rows: one per block.", nullptr},
    {"skipped", table_skipped, nullptr,
     "The number of blocks whose records were left null for a malformed data header.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<TableObject>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("Columns built from SD blocks, for Arrow consumers.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "molvane.native._SDTable",
    object_size<TableObject>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

Ref new_table_type(PyObject* module) {
    return new_type(module, kSpec);
}

Ref build_table_function(PyObject* module) {
    return module_function(module, kBuildTableDef);
}

Ref build_table_from_path_function(PyObject* module) {
    return module_function(module, kBuildTableFromPathDef);
}

}  // namespace molvane::py
