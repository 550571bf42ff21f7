#include "python/record_iter.hpp"

#include <cstdint>
#include <string>

#include "core/record.hpp"
#include "python/block.hpp"
#include "python/block_members.hpp"
#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/name_cache.hpp"
#include "python/object.hpp"

namespace molvane::py {

namespace {

// The C++ state of a record or name iterator.
struct RecordIterObject {
    Ref block;          // the block iterated, kept alive by the iterator
    uint64_t version;   // the block's records version when the iterator was made
    size_t cursor = 0;  // next scan position, from the start of the SD data
    bool done = false;  // exhausted or failed: every later step stops
    UseGuard guard{};   // refuses a step while another step of this iterator runs
};

enum class Yield { Pairs, Names };

template <Yield kind>
PyObject* iter_next(PyObject* self) {
    return with_exclusive<RecordIterObject>(self, [&](RecordIterObject& it) -> PyObject* {
        if (it.done) return nullptr;  // no error set: StopIteration
        try {
            BlockObject& object = as_block(it.block.get());
            SharedUse use(object.guard);
            core::Block& block = object.block;
            if (block.records_version != it.version)
                raise(PyExc_RuntimeError, "SDBlock records changed during iteration");
            std::string_view sd = block.sd_data();
            core::RecordScanner scanner(sd, it.cursor);
            core::RecordSpan record;
            if (!scanner.next(record)) {
                it.done = true;
                return nullptr;
            }
            it.cursor = scanner.cursor();
            Ref name = RecordNames(block, object_state(self)).make(record.name(sd));
            if constexpr (kind == Yield::Names) {
                return name.release();
            } else {
                std::string scratch;
                Ref value = record_value_object(block, sd, record, scratch);
                return PyTuple_Pack(2, name.get(), value.get());
            }
        } catch (...) {
            it.done = true;
            as_block(it.block.get()).name_block_in_error(it.block.get());
            throw;
        }
    });
}

// A new iterator of `type` over `block_object`, before its first record.
Ref new_iterator(PyObject* type_object, PyObject* block_object) {
    BlockObject& object = as_block(block_object);
    SharedUse use(object.guard);
    return new_object<RecordIterObject>(type_object, Ref::borrow(block_object),
                                        object.block.records_version);
}

template <Yield kind>
constexpr const char* kIteratorName =
    kind == Yield::Pairs ? "molvane.native._SDRecordIterator" : "molvane.native._SDNameIterator";
template <Yield kind>
constexpr const char* kIteratorDoc =
    kind == Yield::Pairs ? "Lazily iterate over one block's SD data records."
                         : "Lazily iterate over one block's record names.";

template <Yield kind>
PyType_Slot kIteratorSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<RecordIterObject>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next<kind>)},
    {Py_tp_doc, const_cast<char*>(kIteratorDoc<kind>)},
    {0, nullptr},
};

template <Yield kind>
PyType_Spec kIteratorSpec = {
    kIteratorName<kind>, object_size<RecordIterObject>, 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kIteratorSlots<kind>};

PyObject* block_iter_records(PyObject* self, PyObject*) {
    return boundary(self, [&] {
        return new_iterator(object_state(self).record_iterator_type.get(), self).release();
    });
}

PyObject* block_iter(PyObject* self) {
    return boundary(self, [&] {
        return new_iterator(object_state(self).name_iterator_type.get(), self).release();
    });
}

constexpr const char kIterRecordsDoc[] =
    "iter_records($self)\n--\n\n"
    "Lazily iterate over SD data records in input order.\n\n"
    "Names and values are owned and have the block's type. Like a dict,\n"
    "the iterator raises RuntimeError if the records change; to edit them\n"
    "in a loop, loop over `records()`.";

const PyMethodDef kMethods[] = {
    {"iter_records", block_iter_records, METH_NOARGS, kIterRecordsDoc},
};

const PyType_Slot kSlots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(block_iter)},
};

}  // namespace

const BlockMembers kRecordIterationMembers = {kMethods, {}, kSlots};

Ref new_record_iterator_type(PyObject* module) {
    return new_type(module, kIteratorSpec<Yield::Pairs>);
}

Ref new_name_iterator_type(PyObject* module) {
    return new_type(module, kIteratorSpec<Yield::Names>);
}

}  // namespace molvane::py
