// SDBlock's record edits: append_record, set_record, remove_record,
// replace_records, item assignment and deletion, and the records of
// SDBlock(sdf, records). Every argument is checked before the core edit
// runs; the core then checks exports and malformed headers before changing
// a byte.
#include <vector>

#include "core/record.hpp"
#include "python/arguments.hpp"
#include "python/block.hpp"
#include "python/block_members.hpp"
#include "python/errors.hpp"
#include "python/method_def.hpp"
#include "python/text_arguments.hpp"

namespace molvane::py {

namespace {

// The pairs of a `records` argument, checked and kept alive while the views
// into them are used.
struct RecordPairs {
    std::vector<Ref> items;
    std::vector<core::NewRecord> records;
};

// Reads a mapping (through its items()) or an iterable of (name, value)
// tuples completely, checking every pair against the block's type.
RecordPairs read_record_pairs(const ModuleState& state, const core::Block& block,
                              PyObject* source) {
    Ref iterable;
    Ref items = Ref::steal(PyObject_GetAttr(source, state.names.items.get()));
    if (items) {
        iterable = Ref::check(PyObject_CallNoArgs(items.get()));
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        iterable = Ref::borrow(source);
    }
    Ref iterator = Ref::check(PyObject_GetIter(iterable.get()));
    RecordPairs pairs;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyTuple_Check(item.get()))
            raise(PyExc_TypeError, "records must hold (name, value) tuples");
        if (PyTuple_Size(item.get()) != 2)
            raise(PyExc_ValueError, "records must hold (name, value) tuples of two items");
        std::string_view name = block_typed_bytes(block, PyTuple_GetItem(item.get(), 0), kNameNoun);
        std::string_view value =
            block_typed_bytes(block, PyTuple_GetItem(item.get(), 1), kValueNoun);
        pairs.records.push_back({name, value});
        pairs.items.push_back(std::move(item));
    }
    throw_if_error();
    return pairs;
}

core::HeaderStyle header_style(PyObject* header) {
    return header ? parse_header_style(header) : core::HeaderStyle::Plain;
}

// The common part of append_record and set_record: header, name and value
// are checked in that order, then the edit runs.
template <class Edit>
PyObject* name_value_edit(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                          Edit edit) {
    return boundary(self, [&] {
        static const char* keywords[] = {"name", "value", "header", nullptr};
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        PyObject* header = nullptr;
        parse_arguments(args, kwargs, format, keywords, &name, &value, &header);
        BlockObject& object = as_block(self);
        ExclusiveUse use(object.guard);
        core::HeaderStyle style = header_style(header);
        core::NewRecord record{block_typed_bytes(object.block, name, kNameNoun),
                               block_typed_bytes(object.block, value, kValueNoun)};
        try {
            edit(object.block, record, style);
        } catch (...) {
            object.name_block_in_error(self);
            throw;
        }
        Py_RETURN_NONE;
    });
}

PyObject* block_append_record(PyObject* self, PyObject* args, PyObject* kwargs) {
    return name_value_edit(self, args, kwargs, "OO|$U:append_record", core::append_record);
}

PyObject* block_set_record(PyObject* self, PyObject* args, PyObject* kwargs) {
    return name_value_edit(self, args, kwargs, "OO|$U:set_record", core::set_record);
}

PyObject* block_remove_record(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary(self, [&] {
        static const char* keywords[] = {"name", nullptr};
        PyObject* name = nullptr;
        parse_arguments(args, kwargs, "O:remove_record", keywords, &name);
        BlockObject& object = as_block(self);
        ExclusiveUse use(object.guard);
        std::string_view name_bytes = block_typed_bytes(object.block, name, kNameNoun);
        size_t removed = 0;
        try {
            removed = core::remove_records(object.block, name_bytes);
        } catch (...) {
            object.name_block_in_error(self);
            throw;
        }
        return PyLong_FromSize_t(removed);
    });
}

PyObject* block_replace_records(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary(self, [&] {
        static const char* keywords[] = {"records", "header", nullptr};
        PyObject* source = nullptr;
        PyObject* header = nullptr;
        parse_arguments(args, kwargs, "O|$U:replace_records", keywords, &source, &header);
        BlockObject& object = as_block(self);
        // Held while `records` is read, so Python code run meanwhile (a
        // generator, an items() method) cannot use this block.
        ExclusiveUse use(object.guard);
        core::HeaderStyle style = header_style(header);
        RecordPairs pairs = read_record_pairs(object_state(self), object.block, source);
        core::replace_records(object.block, pairs.records, style);
        Py_RETURN_NONE;
    });
}

int block_assign_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return with_exclusive<BlockObject>(self, [&](BlockObject& object) {
        std::string_view name = block_typed_bytes(object.block, key, kNameNoun);
        if (!value) {
            if (core::remove_records(object.block, name) == 0) {
                PyErr_SetObject(PyExc_KeyError, key);
                throw PythonError{};
            }
            return 0;
        }
        core::set_record(object.block, {name, block_typed_bytes(object.block, value, kValueNoun)},
                         core::HeaderStyle::Plain);
        return 0;
    });
}

constexpr const char kAppendRecordDoc[] =
    "append_record($self, name, value, *, header=\"plain\")\n--\n\n"
    "Append a field and value of the same type as the input block.\n\n"
    "Args:\n"
    "    name: Field name, written as given.\n"
    "    value: Field value, with no terminating newline.\n"
    "    header: How to write the header line of the new record: \"plain\"\n"
    "        writes `> <name>`; \"padded\" writes `>  <name>`, as RDKit and\n"
    "        Open Babel write; \"copy\" copies the text around the name on the\n"
    "        first named header line of the block's SD data (\"plain\" if it\n"
    "        has none). \"copy\" reads that header first, so it is a bit slower.\n\n"
    "Raises:\n"
    "    TypeError: if `name` or `value` is not the block's type.\n"
    "    ValueError: if `header` is not \"plain\", \"padded\" or \"copy\".";

constexpr const char kSetRecordDoc[] =
    "set_record($self, name, value, *, header=\"plain\")\n--\n\n"
    "Set a record, keeping the header line and position of the first with\n"
    "that name.\n\n"
    "Later records with the same name are removed; if there is none, the\n"
    "record is appended.\n\n"
    "Args:\n"
    "    name: Field name, written as given.\n"
    "    value: Field value, with no terminating newline.\n"
    "    header: How to write an appended record's header line, as in\n"
    "        `append_record`.\n\n"
    "Raises:\n"
    "    TypeError: if `name` or `value` is not the block's type.\n"
    "    ValueError: if `header` is not \"plain\", \"padded\" or \"copy\".";

constexpr const char kRemoveRecordDoc[] =
    "remove_record($self, name)\n--\n\n"
    "Remove every record named `name`.\n\n"
    "Returns:\n"
    "    How many records were removed\n\n"
    "Raises:\n"
    "    TypeError: if `name` is not the block's type.";

constexpr const char kReplaceRecordsDoc[] =
    "replace_records($self, records, *, header=\"plain\")\n--\n\n"
    "Replace all SD data with the given records.\n\n"
    "The k-th record with a name keeps the k-th old header line with that\n"
    "name.\n\n"
    "Args:\n"
    "    records: A mapping, or an iterable of (name, value) tuples, in the\n"
    "        block's type.\n"
    "    header: How to write other header lines, as in `append_record`,\n"
    "        \"copy\" copying from the old SD data.\n\n"
    "Raises:\n"
    "    TypeError: if a name or value is not the block's type.\n"
    "    ValueError: if `header` is not \"plain\", \"padded\" or \"copy\".";

const PyMethodDef kMethods[] = {
    {"append_record", keywords_method(block_append_record), METH_VARARGS | METH_KEYWORDS,
     kAppendRecordDoc},
    {"set_record", keywords_method(block_set_record), METH_VARARGS | METH_KEYWORDS, kSetRecordDoc},
    {"remove_record", keywords_method(block_remove_record), METH_VARARGS | METH_KEYWORDS,
     kRemoveRecordDoc},
    {"replace_records", keywords_method(block_replace_records), METH_VARARGS | METH_KEYWORDS,
     kReplaceRecordsDoc},
};

const PyType_Slot kSlots[] = {
    {Py_mp_ass_subscript, reinterpret_cast<void*>(block_assign_subscript)},
};

}  // namespace

const BlockMembers kRecordEditMembers = {kMethods, {}, kSlots};

void append_constructor_records(const ModuleState& state, BlockObject& self, PyObject* records,
                                core::HeaderStyle style) {
    RecordPairs pairs = read_record_pairs(state, self.block, records);
    for (const core::NewRecord& record : pairs.records)
        core::append_record(self.block, record, style);
}

}  // namespace molvane::py
