// The byte scanning behind molvane/_gzaccess.py: BGZF member headers
// (core/bgzf) and block starts in decompressed text (core/block_index,
// core/block_bounds). The decompression itself is done in Python, by isal.
#include "python/bgzf.hpp"

#include <cstring>
#include <vector>

#include "core/bgzf.hpp"
#include "core/block_bounds.hpp"
#include "core/block_index.hpp"
#include "python/arguments.hpp"
#include "python/buffer_view.hpp"
#include "python/errors.hpp"
#include "python/method_def.hpp"
#include "python/without_gil.hpp"

namespace molvane::py {

namespace {

template <typename T>
Ref packed(const std::vector<T>& values) {
    return Ref::check(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                  static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

PyObject* bgzf_members(PyObject* module, PyObject* args) {
    return boundary(module, [&] {
        PyObject* buffer = nullptr;
        PyObject* path = Py_None;
        if (!PyArg_ParseTuple(args, "O|O:_bgzf_members", &buffer, &path)) throw PythonError{};
        BufferView view(buffer);
        core::BgzfMembers members =
            without_gil([&] { return core::walk_bgzf(view.data(), view.size()); });
        if (path != Py_None) raise_file_fault(path, members.fault);
        const char* fault = members.fault.ok()                                 ? nullptr
                            : members.fault.kind == core::FileFault::Kind::Cut ? "cut"
                                                                               : "not bgzf";
        Ref offsets = packed(members.offsets);
        Ref sizes = packed(members.sizes);
        return Ref::check(Py_BuildValue("(OOzK)", offsets.get(), sizes.get(), fault,
                                        static_cast<unsigned long long>(members.fault.offset)))
            .release();
    });
}

PyObject* block_starts(PyObject* module, PyObject* args) {
    return boundary(module, [&] {
        PyObject* buffer = nullptr;
        int universal = 0;
        if (!PyArg_ParseTuple(args, "Op:_block_starts", &buffer, &universal)) throw PythonError{};
        BufferView view(buffer);
        std::vector<uint64_t> offsets;
        const bool rule = universal != 0;
        const bool intact = without_gil(
            [&] { return core::index_blocks(view.data(), view.size(), rule, offsets); });
        if (!intact) raise(PyExc_OSError, "_block_starts: the buffer shrank while it was read");
        return packed(offsets).release();
    });
}

PyObject* next_block_start(PyObject* module, PyObject* args) {
    return boundary(module, [&] {
        PyObject* buffer = nullptr;
        Py_ssize_t from = 0;
        int universal = 0;
        if (!PyArg_ParseTuple(args, "Onp:_block_start_from", &buffer, &from, &universal))
            throw PythonError{};
        BufferView view(buffer);
        if (from < 0 || static_cast<std::size_t>(from) > view.size())
            raise(PyExc_ValueError, "_block_start_from: offset outside the buffer");
        const std::size_t found = core::next_block_start(
            view.data(), view.size(), static_cast<std::size_t>(from), universal != 0);
        return Ref::check(PyLong_FromSize_t(found)).release();
    });
}

PyMethodDef kBgzfMembersDef = {
    "_bgzf_members", bgzf_members, METH_VARARGS,
    "_bgzf_members($module, buffer, path=None, /)\n--\n\n"
    "The BGZF members of `buffer` found from their headers: (offsets, sizes,\n"
    "fault, fault_offset), offsets as native uint64 bytes (each member's first\n"
    "byte, then where the walk ended), sizes as native uint32 bytes (each\n"
    "member's ISIZE), fault None, 'cut' or 'not bgzf' with the offset of the\n"
    "member where the walk stopped. Given the `path` the buffer holds (its\n"
    "name in messages), a fault raises instead: EOFError for a cut member,\n"
    "ValueError for a file that is no BGZF, OSError(EIO) for damage after\n"
    "its first member."};

PyMethodDef kBlockStartsDef = {
    "_block_starts", block_starts, METH_VARARGS,
    "_block_starts($module, buffer, universal, /)\n--\n\n"
    "The first byte of every block of `buffer` (text that starts at a block),\n"
    "then its size, as native uint64 bytes, by the LF rule or the universal one:\n"
    "the block index of a BGZF member run, or of a window of a remote file."};

PyMethodDef kNextBlockStartDef = {
    "_block_start_from", next_block_start, METH_VARARGS,
    "_block_start_from($module, buffer, offset, universal, /)\n--\n\n"
    "The first block start at or after `offset` in `buffer`, or its size."};

}  // namespace

void add_bgzf_functions(PyObject* module) {
    for (PyMethodDef* definition : {&kBgzfMembersDef, &kBlockStartsDef, &kNextBlockStartDef}) {
        Ref function = module_function(module, *definition);
        if (PyObject_SetAttrString(module, definition->ml_name, function.get()) < 0)
            throw PythonError{};
    }
}

}  // namespace molvane::py
