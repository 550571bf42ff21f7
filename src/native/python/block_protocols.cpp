// SDBlock's object protocols beyond sections and records: equality, the
// buffer protocol of bytes blocks, copying, pickling and SDBlock[...].
#include <memory>
#include <string>

#include "core/pickle_state.hpp"
#include "python/arguments.hpp"
#include "python/block.hpp"
#include "python/block_members.hpp"
#include "python/errors.hpp"
#include "python/method_def.hpp"
#include "python/text_arguments.hpp"

namespace molvane::py {

namespace {

bool same_state(core::Block& a, core::Block& b) {
    if (a.is_bytes != b.is_bytes) return false;
    if (a.view().size() != b.view().size() || a.view() != b.view()) return false;
    if (a.title_end != b.title_end) return false;
    return a.locate_mdl_end() == b.locate_mdl_end();
}

// Equality only: blocks have no order, and no hash since they can change.
PyObject* block_richcompare(PyObject* self, PyObject* other, int op) {
    // The slot is SDBlock's, so `self` is one; the type is final.
    if (op < Py_LT || op > Py_GE || Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE))
        Py_RETURN_NOTIMPLEMENTED;
    return boundary(self, [&] {
        BlockObject& left = as_block(self);
        BlockObject& right = as_block(other);
        SharedUse use_left(left.guard);
        SharedUse use_right(right.guard);
        bool equal = same_state(left.block, right.block);
        return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False).release();
    });
}

// A view of a bytes block's whole text. Each view holds a share of the
// block's export guard, so every edit is refused until it is released.
int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return boundary(self, [&] {
        BlockObject& object = as_block(self);
        if (!object.block.is_bytes)
            raise(PyExc_TypeError, "a str SDBlock is not bytes-like; use str(block)");
        SharedUse use(object.guard);
        auto share = std::make_unique<std::shared_ptr<int>>();
        if (!object.block.export_guard) object.block.export_guard = std::make_shared<int>(0);
        *share = object.block.export_guard;
        std::string_view text = object.block.view();
        if (PyBuffer_FillInfo(view, self, const_cast<char*>(text.data()),
                              static_cast<Py_ssize_t>(text.size()), 1, flags) < 0)
            throw PythonError{};
        view->internal = share.release();
        return 0;
    });
}

// Gives the view's share back; needs nothing of the block and cannot fail.
void block_releasebuffer(PyObject*, Py_buffer* view) {
    delete static_cast<std::shared_ptr<int>*>(view->internal);
    view->internal = nullptr;
}

PyObject* block_copy(PyObject* self, PyObject*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        const core::Block& source = object.block;
        core::Block copy;
        copy.text = core::BlockText(std::string(source.view()));
        copy.title_end = source.title_end;
        copy.mdl_end = source.mdl_end;
        copy.is_bytes = source.is_bytes;
        copy.utf8_checked = source.utf8_checked;
        copy.records_version = source.records_version;
        return new_block_object(reinterpret_cast<PyObject*>(Py_TYPE(self)), std::move(copy))
            .release();
    });
}

PyObject* block_deepcopy(PyObject* self, PyObject*) {
    return block_copy(self, nullptr);
}

PyObject* block_reduce(PyObject* self, PyObject*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        core::Block& block = object.block;
        const size_t mdl_end = block.locate_mdl_end();
        std::string_view text = block.view();
        Ref rebuild = Ref::check(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                                  object_state(self).names.from_state.get()));
        Ref data = Ref::check(
            PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        Ref title_end = Ref::check(PyLong_FromSize_t(block.title_end));
        Ref mdl = Ref::check(PyLong_FromSize_t(mdl_end));
        Ref state = Ref::check(PyTuple_Pack(4, data.get(), title_end.get(), mdl.get(),
                                            block.is_bytes ? Py_False : Py_True));
        return PyTuple_Pack(2, rebuild.get(), state.get());
    });
}

uint64_t state_offset(PyObject* value, const char* name) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "_from_state() argument '%s' must be int", name);
        throw PythonError{};
    }
    unsigned long long offset = PyLong_AsUnsignedLongLong(value);
    if (offset == static_cast<unsigned long long>(-1)) throw_if_error();
    return offset;
}

PyObject* block_from_state(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary(cls, [&] {
        static const char* keywords[] = {"data", "title_end", "mdl_end", "text", nullptr};
        PyObject *data = nullptr, *title_end = nullptr, *mdl_end = nullptr, *text = nullptr;
        parse_arguments(args, kwargs, "OOOO:_from_state", keywords, &data, &title_end, &mdl_end,
                        &text);
        if (!PyBytes_Check(data))
            raise(PyExc_TypeError, "_from_state() argument 'data' must be bytes");
        uint64_t title = state_offset(title_end, "title_end");
        uint64_t mdl = state_offset(mdl_end, "mdl_end");
        if (!PyBool_Check(text))
            raise(PyExc_TypeError, "_from_state() argument 'text' must be bool");
        std::optional<core::Block> block =
            core::block_from_state(str_or_bytes_view(data), title, mdl, text == Py_False);
        if (!block) raise(PyExc_ValueError, "invalid SDBlock state");
        return new_block_object(cls, std::move(*block)).release();
    });
}

PyObject* block_class_getitem(PyObject* cls, PyObject* item) {
    return Py_GenericAlias(cls, item);
}

constexpr const char kCopyDoc[] =
    "__copy__($self)\n--\n\n"
    "Return an independent copy; a block holds no other objects, so\n"
    "`copy.copy` and `copy.deepcopy` are the same.";
constexpr const char kDeepcopyDoc[] = "__deepcopy__($self, memo, /)\n--\n\n";
constexpr const char kReduceDoc[] =
    "__reduce__($self)\n--\n\n"
    "Pickle the block's exact state rather than its SDF text, which\n"
    "does not always parse back to the same block.";
constexpr const char kFromStateDoc[] =
    "_from_state($cls, data, title_end, mdl_end, text)\n--\n\n"
    "Rebuild a block pickled by `__reduce__`.\n\n"
    "Raises:\n"
    "    ValueError: if the state cannot come from a block";
constexpr const char kClassGetitemDoc[] =
    "__class_getitem__($cls, item)\n--\n\n"
    "Allow `SDBlock[str]` and `SDBlock[bytes]` in runtime annotations.";

const PyMethodDef kMethods[] = {
    {"__copy__", block_copy, METH_NOARGS, kCopyDoc},
    {"__deepcopy__", block_deepcopy, METH_O, kDeepcopyDoc},
    {"__reduce__", block_reduce, METH_NOARGS, kReduceDoc},
    {"_from_state", keywords_method(block_from_state), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     kFromStateDoc},
    {"__class_getitem__", block_class_getitem, METH_O | METH_CLASS, kClassGetitemDoc},
};

const PyType_Slot kSlots[] = {
    {Py_tp_richcompare, reinterpret_cast<void*>(block_richcompare)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(block_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(block_releasebuffer)},
};

}  // namespace

const BlockMembers kProtocolMembers = {kMethods, {}, kSlots};

}  // namespace molvane::py
