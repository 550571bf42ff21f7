#include "python/block_iterator.hpp"

#include "python/errors.hpp"

namespace molvane::py {

namespace {

PyObject* iterator_next(PyObject* self) {
    return with_exclusive<BlockIteratorObject>(self, [&](BlockIteratorObject& object) -> PyObject* {
        // A null result without an exception set ends the iteration.
        return object.reader.next_block().release();
    });
}

PyObject* iterator_close(PyObject* self, PyObject*) {
    return with_exclusive<BlockIteratorObject>(self, [&](BlockIteratorObject& object) {
        object.reader.close();
        Py_RETURN_NONE;
    });
}

PyObject* iterator_keep_trailing(PyObject* self, PyObject*) {
    return with_exclusive<BlockIteratorObject>(self, [&](BlockIteratorObject& object) {
        object.reader.hold_trailing();
        Py_RETURN_NONE;
    });
}

PyObject* iterator_trailing_after(PyObject* self, PyObject* block) {
    return with_shared<BlockIteratorObject>(self, [&](BlockIteratorObject& object) {
        return object.reader.trailing_after(block).release();
    });
}

int iterator_clear(PyObject* self) {
    BlockIteratorObject& object = state_of<BlockIteratorObject>(self);
    // An iterator in the middle of a step is reachable from its caller; only
    // an idle one can be garbage.
    if (object.guard.is_free()) object.reader.close();
    return 0;
}

constexpr const char kCloseDoc[] =
    "close($self)\n--\n\n"
    "Stop iterating and release the input source, closing files that\n"
    "`parse_sdf` opened.";

PyObject* get_position(PyObject* self, void*) {
    return with_shared<BlockIteratorObject>(
        self, [&](BlockIteratorObject& object) { return object.reader.position().release(); });
}

PyObject* get_size(PyObject* self, void*) {
    return with_shared<BlockIteratorObject>(
        self, [&](BlockIteratorObject& object) { return object.reader.size().release(); });
}

constexpr const char kPositionDoc[] =
    "How far the iterator has read its source: bytes of the file (of the\n"
    "compressed file, for a compressed one), bytes or characters read from a\n"
    "file object, or None for an iterable of lines. With `size`, it drives a\n"
    "progress bar: `tqdm(total=blocks.size)`, updated by the change in\n"
    "`position` after each block. It runs ahead of the blocks handed out by\n"
    "at most one read.";

constexpr const char kSizeDoc[] =
    "The size of the source in the units of `position`, or None when it is\n"
    "not known (file objects, pipes, iterables of lines).";

PyGetSetDef kGetSets[] = {
    {"position", get_position, nullptr, kPositionDoc, nullptr},
    {"size", get_size, nullptr, kSizeDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kKeepTrailingDoc[] =
    "_keep_trailing($self, /)\n--\n\n"
    "Call before the first block: whitespace after the last $$$$ line is then\n"
    "kept, not handed out as a block, for `_trailing_after`.";

constexpr const char kTrailingAfterDoc[] =
    "_trailing_after($self, block, /)\n--\n\n"
    "Once the blocks are done: the whitespace kept after the last $$$$ line\n"
    "when `block` is the last block handed out, else None.";

PyMethodDef kMethods[] = {
    {"close", iterator_close, METH_NOARGS, kCloseDoc},
    {"_keep_trailing", iterator_keep_trailing, METH_NOARGS, kKeepTrailingDoc},
    {"_trailing_after", iterator_trailing_after, METH_O, kTrailingAfterDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Lazily parse SDBlocks from an input source.")},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_object<BlockIteratorObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<BlockIteratorObject>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSets},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "molvane.native._SDBlockIterator",
    object_size<BlockIteratorObject>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

Ref new_block_iterator_type(PyObject* module) {
    return new_type(module, kSpec);
}

Ref new_block_iterator(const ModuleState& state) {
    Ref iterator = new_object<BlockIteratorObject>(state.block_iterator_type.get());
    iterator_reader(iterator.get()).make_blocks_of(state.block_type);
    return iterator;
}

}  // namespace molvane::py
