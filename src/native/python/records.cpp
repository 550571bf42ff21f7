// SDBlock's read access to its SD data records: records(), names(),
// to_dict(), get(), block[name], name in block, len(block) and bool(block).
#include <string>
#include <vector>

#include "core/record.hpp"
#include "core/record_index.hpp"
#include "python/arguments.hpp"
#include "python/block.hpp"
#include "python/block_members.hpp"
#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/list.hpp"
#include "python/method_def.hpp"
#include "python/name_cache.hpp"
#include "python/text_arguments.hpp"

namespace molvane::py {

namespace {

// The tuple (name, value) for records().
Ref record_pair(RecordNames& names, std::string_view sd, const core::RecordSpan& record,
                std::string& scratch) {
    Ref name = names.make(record.name(sd));
    Ref value = record_value_object(names.block(), sd, record, scratch);
    return Ref::check(PyTuple_Pack(2, name.get(), value.get()));
}

PyObject* block_records(PyObject* self, PyObject*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        std::string_view sd = object.block.sd_data();
        std::vector<core::RecordSpan> spans = core::scan_records(sd);
        RecordNames names(object.block, object_state(self));
        std::string scratch;
        return new_list(spans.size(),
                        [&](size_t i) { return record_pair(names, sd, spans[i], scratch); })
            .release();
    });
}

PyObject* block_names(PyObject* self, PyObject*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        std::string_view sd = object.block.sd_data();
        std::vector<core::RecordSpan> spans = core::scan_records(sd);
        RecordNames names(object.block, object_state(self));
        return new_list(spans.size(), [&](size_t i) { return names.make(spans[i].name(sd)); })
            .release();
    });
}

PyObject* block_to_dict(PyObject* self, PyObject*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        std::string_view sd = object.block.sd_data();
        std::vector<core::RecordSpan> spans = core::scan_records(sd);
        Ref dict = Ref::check(PyDict_New());
        RecordNames names(object.block, object_state(self));
        std::string scratch;
        for (const core::RecordSpan& span : spans) {
            Ref name = names.make(span.name(sd));
            Ref value = record_value_object(object.block, sd, span, scratch);
            if (PyDict_SetItem(dict.get(), name.get(), value.get()) < 0) throw PythonError{};
        }
        return dict.release();
    });
}

// The value of the last record named `key`, or a null Ref when there is none.
Ref lookup_value(BlockObject& object, PyObject* key) {
    std::string_view name = block_typed_bytes(object.block, key, kNameNoun);
    core::RecordSpan found;
    if (!core::lookup_record(object.block, name, found)) return Ref();
    std::string scratch;
    return record_value_object(object.block, object.block.sd_data(), found, scratch);
}

// A vector call: get() is the per-block lookup of whole files, and building
// an argument tuple would cost more than an indexed lookup.
PyObject* block_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary(self, [&] {
        static constexpr const char* kNames[] = {"name", "default"};
        PyObject* values[] = {nullptr, Py_None};
        parse_fast_arguments("get", args, nargs, kwnames, kNames, 1, values);
        PyObject* key = values[0];
        PyObject* fallback = values[1];
        BlockObject& object = as_block(self);
        SharedUse use(object.guard);
        Ref value;
        try {
            value = lookup_value(object, key);
        } catch (...) {
            object.name_block_in_error(self);
            throw;
        }
        return value ? value.release() : Ref::borrow(fallback).release();
    });
}

PyObject* block_subscript(PyObject* self, PyObject* key) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        Ref value = lookup_value(object, key);
        if (!value) {
            PyErr_SetObject(PyExc_KeyError, key);
            throw PythonError{};
        }
        return value.release();
    });
}

int block_contains(PyObject* self, PyObject* key) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        std::string_view name = block_typed_bytes(object.block, key, kNameNoun);
        core::RecordSpan found;
        return core::lookup_record(object.block, name, found) ? 1 : 0;
    });
}

Py_ssize_t block_length(PyObject* self) {
    return with_shared<BlockObject>(self, [](BlockObject& object) {
        return static_cast<Py_ssize_t>(core::count_records(object.block.sd_data()));
    });
}

// A block is true even without records: it still holds a molecule.
int block_bool(PyObject*) {
    return 1;
}

constexpr const char kRecordsDoc[] =
    "records($self)\n--\n\n"
    "Return all SD data records.\n\n"
    "Returns:\n"
    "    Tuples of record name and value in the input type; multiline\n"
    "    values include their inner newlines";

constexpr const char kNamesDoc[] =
    "names($self)\n--\n\n"
    "Return the record names in input order, duplicates included.\n\n"
    "Equivalent to `[name for name, _ in block.records()]`, without\n"
    "building the values. Blocks need not share names, so collect them\n"
    "across a file with `Counter(n for b in blocks for n in b.names())`.";

constexpr const char kToDictDoc[] =
    "to_dict($self)\n--\n\n"
    "Return the records as a dict, later duplicates winning.\n\n"
    "Equivalent to `dict(block.records())`.";

constexpr const char kGetDoc[] =
    "get($self, name, default=None)\n--\n\n"
    "Return the value of the last record named `name`, or `default`.\n\n"
    "Equivalent to `dict(block.records()).get(name, default)`, without\n"
    "building the other values.\n\n"
    "Args:\n"
    "    name: Record name in the block's type.\n"
    "    default: Returned when no record has that name.\n\n"
    "Returns:\n"
    "    The record value in the block's type, or `default`.\n\n"
    "Raises:\n"
    "    TypeError: if `name` is not the block's type.";

const PyMethodDef kMethods[] = {
    {"records", block_records, METH_NOARGS, kRecordsDoc},
    {"names", block_names, METH_NOARGS, kNamesDoc},
    {"to_dict", block_to_dict, METH_NOARGS, kToDictDoc},
    {"get", fast_keywords_method(block_get), METH_FASTCALL | METH_KEYWORDS, kGetDoc},
};

// A mapping type: only the mapping slots, and `in` by name.
const PyType_Slot kSlots[] = {
    {Py_mp_subscript, reinterpret_cast<void*>(block_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(block_length)},
    {Py_sq_contains, reinterpret_cast<void*>(block_contains)},
    {Py_nb_bool, reinterpret_cast<void*>(block_bool)},
};

}  // namespace

const BlockMembers kRecordMembers = {kMethods, {}, kSlots};

}  // namespace molvane::py
