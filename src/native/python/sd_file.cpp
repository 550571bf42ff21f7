#include "python/sd_file.hpp"

#include <cstring>
#include <memory>
#include <vector>

#include "core/block_bounds.hpp"
#include "core/block_file.hpp"
#include "core/block_index.hpp"
#include "core/index_file.hpp"
#include "core/output_file.hpp"
#include "python/arguments.hpp"
#include "python/block.hpp"
#include "python/errors.hpp"
#include "python/method_def.hpp"
#include "python/module_state.hpp"
#include "python/object.hpp"
#include "python/random_access.hpp"
#include "python/text_arguments.hpp"
#include "python/url_argument.hpp"
#include "python/without_gil.hpp"

namespace molvane::py {

namespace {

// The named function of molvane._remote, which reads URLs through fsspec.
Ref remote_function(const char* name) {
    Ref remote = Ref::check(PyImport_ImportModule("molvane._remote"));
    return Ref::check(PyObject_GetAttrString(remote.get(), name));
}

// The C++ state of an SDFile object. The core file does its own locking, so
// the object needs no use guard: any thread may call it at any time.
struct SDFileObject {
    std::shared_ptr<core::BlockFile> file;
    Ref path;        // os.fspath() of the argument
    Ref block_type;  // SDBlock, kept for blocks made after the module may have gone
    bool is_str = false;
    Py_ssize_t shape = 0;  // the buffer's one dimension: len(offsets), fixed once found
    // A BGZF file's blocks, served by molvane/_gzaccess.py (its BgzfBlocks),
    // and the saved index given for it; set once, never replaced.
    Ref compressed{};
    Ref compressed_index{};

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(path.get());
        Py_VISIT(block_type.get());
        Py_VISIT(compressed.get());
        Py_VISIT(compressed_index.get());
        return 0;
    }
};

Ref gzaccess_function(const char* name) {
    Ref module = Ref::check(PyImport_ImportModule("molvane._gzaccess"));
    return Ref::check(PyObject_GetAttrString(module.get(), name));
}

// Keeps the first of two threads' results: the one kept is never replaced,
// so a borrowed pointer to it stays valid for the object's life.
PyObject* keep_compressed(SDFileObject& object, Ref made) {
    if (!object.compressed) object.compressed = std::move(made);
    return object.compressed.get();
}

SDFileObject& sd_file(PyObject* self) {
    return state_of<SDFileObject>(self);
}

// The index, scanned on first use without the GIL.
core::BlockFile& ready(SDFileObject& object) {
    core::BlockFile& file = *object.file;
    if (file.is_ready()) return file;
    const core::FileFault fault = without_gil([&] { return file.ready(); });
    raise_file_fault(object.path.get(), fault);
    return file;
}

PyObject* open_compressed(SDFileObject& object, const core::FileFault& fault);

// The blocks of a gzip file, indexed on first use, or null for a plain file
// (then ready). Which gzip files are served is _gzaccess's to say.
PyObject* compressed_blocks(SDFileObject& object) {
    if (object.compressed) return object.compressed.get();
    core::BlockFile& file = *object.file;
    if (!file.is_ready()) {
        const core::FileFault fault = without_gil([&] { return file.ready(); });
        if (!fault.ok()) return open_compressed(object, fault);
    }
    // An index of a compressed file is never taken for a plain one.
    if (object.compressed_index) {
        PyErr_Format(PyExc_ValueError, "%R is the index of a compressed file, not of %R",
                     object.compressed_index.get(), object.path.get());
        throw PythonError{};
    }
    return nullptr;
}

// The blocks of a gzip file refused by the plain road, or the refusal.
PyObject* open_compressed(SDFileObject& object, const core::FileFault& fault) {
    if (fault.kind == core::FileFault::Kind::Compressed &&
        fault.compression == core::Compression::Gzip) {
        Ref open = gzaccess_function("open_blocks");
        PyObject* index = object.compressed_index ? object.compressed_index.get() : Py_None;
        Ref made = Ref::check(PyObject_CallFunction(open.get(), "OOO", object.path.get(),
                                                    object.is_str ? Py_True : Py_False, index));
        return keep_compressed(object, std::move(made));
    }
    raise_file_fault(object.path.get(), fault);
    raise_internal("a refused SDFile was not refused");
}

std::size_t block_count(SDFileObject& object) {
    if (PyObject* compressed = compressed_blocks(object)) {
        const Py_ssize_t length = PyObject_Length(compressed);
        if (length < 0) throw PythonError{};
        return static_cast<std::size_t>(length);
    }
    return ready(object).count();
}

Ref read_compressed_block(SDFileObject& object, PyObject* compressed, std::size_t i) {
    Ref pair = Ref::check(PyObject_CallMethod(compressed, "read", "n", static_cast<Py_ssize_t>(i)));
    PyObject* data = nullptr;
    unsigned long long offset = 0;
    if (!PyArg_ParseTuple(pair.get(), "O!K", &PyBytes_Type, &data, &offset)) throw PythonError{};
    const std::string_view bytes = str_or_bytes_view(data);
    std::string text;
    text.reserve(bytes.size() + core::kBuildSlack);
    text.assign(bytes);
    return new_block_object(object.block_type.get(),
                            core::block_of_text(std::move(text), object.is_str, offset, i));
}

Ref read_block(SDFileObject& object, std::size_t i) {
    if (PyObject* compressed = compressed_blocks(object))
        return read_compressed_block(object, compressed, i);
    core::BlockFile& file = ready(object);
    core::Block block;
    const core::FileFault fault = without_gil([&] { return file.read(i, block); });
    raise_file_fault(object.path.get(), fault);
    return new_block_object(object.block_type.get(), std::move(block));
}

// The saved index at `source`, checked to be one for blocks of `is_str`.
core::SavedIndex load_index(PyObject* source, bool is_str) {
    PathArgument path = path_argument(source);
    core::RandomAccessFile file;
    open_random_access(file, path);
    std::string data(static_cast<std::size_t>(file.stamp().size), '\0');
    const core::IoOutcome outcome =
        without_gil([&]() noexcept { return file.read_at(0, data.data(), data.size()); });
    raise_if_failed(outcome, path.object.get());
    core::SavedIndex index;
    raise_file_fault(path.object.get(), core::decode_index(data, index));
    if (index.universal != is_str) {
        PyErr_Format(PyExc_ValueError,
                     "%R indexes the blocks of a %s path; open the file with a %s path or "
                     "index it again",
                     path.object.get(), index.universal ? "str" : "bytes",
                     index.universal ? "str" : "bytes");
        throw PythonError{};
    }
    return index;
}

PyObject* sd_file_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    return boundary(cls, [&] {
        static const char* keywords[] = {"path", "index", nullptr};
        PyObject* source = nullptr;
        PyObject* index = Py_None;
        parse_arguments(args, kwargs, "O|$O:SDFile", keywords, &source, &index);
        if (is_url_argument(source)) {
            // A remote file: blocks read by ranged requests through fsspec.
            Ref opener = remote_function("sdfile");
            Ref call_args = Ref::check(PyTuple_Pack(1, source));
            Ref call_kwargs = Ref::check(Py_BuildValue("{sO}", "index", index));
            return Ref::check(PyObject_Call(opener.get(), call_args.get(), call_kwargs.get()))
                .release();
        }
        if (!PyUnicode_Check(source) && !PyBytes_Check(source)) {
            Ref attribute = Ref::steal(PyObject_GetAttrString(source, "__fspath__"));
            if (!attribute) {
                PyErr_Clear();
                raise_wrong_type("SDFile takes a path to a regular, uncompressed file, not %U",
                                 source);
            }
        }
        PathArgument path = path_argument(source);
        auto file = std::make_shared<core::BlockFile>(std::move(path.bytes), path.is_str);
        // The index of a compressed file is _gzaccess's own format, checked there.
        Ref compressed_index;
        if (index != Py_None) {
            Ref is_saved = gzaccess_function("is_saved_index");
            Ref verdict = Ref::check(PyObject_CallFunctionObjArgs(is_saved.get(), index, nullptr));
            if (PyObject_IsTrue(verdict.get()) == 1) {
                compressed_index = Ref::borrow(index);
            } else {
                core::SavedIndex saved = load_index(index, path.is_str);
                file->adopt(std::move(saved.offsets), saved.stamp);
            }
        }
        Ref object = new_object<SDFileObject>(cls, std::move(file), std::move(path.object),
                                              type_state(type).block_type, path.is_str);
        sd_file(object.get()).compressed_index = std::move(compressed_index);
        return object.release();
    });
}

PyObject* sd_file_save_index(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary(self, [&] {
        static const char* keywords[] = {"path", nullptr};
        PyObject* target = Py_None;
        parse_arguments(args, kwargs, "|O:save_index", keywords, &target);
        SDFileObject& object = sd_file(self);
        PyObject* compressed = compressed_blocks(object);
        Ref destination;
        if (target == Py_None) {
            Ref suffix = Ref::check(object.is_str ? PyUnicode_FromString(".idx")
                                                  : PyBytes_FromString(".idx"));
            destination = Ref::check(PyNumber_Add(object.path.get(), suffix.get()));
        } else {
            destination = Ref::check(PyOS_FSPath(target));
        }
        if (compressed) {
            Ref saved = Ref::check(PyObject_CallMethod(compressed, "save", "O", destination.get()));
            return destination.release();
        }
        const core::BlockFile& file = ready(object);
        PathArgument path = path_argument(destination.get());
        const std::string data =
            core::encode_index({file.universal(), file.stamp(), file.offsets()});
        core::OutputFile out;
        for (;;) {
            const std::string& bytes = path.bytes;
            const core::IoOutcome opened = without_gil([&]() noexcept { return out.open(bytes); });
            raise_if_failed(opened, path.object.get());
            if (opened.ok()) break;
        }
        // A signal ends a write early; the handlers run before the rest goes out.
        for (std::size_t written = 0;;) {
            const core::IoOutcome outcome =
                without_gil([&]() noexcept { return out.write_some(data, written); });
            raise_if_failed(outcome, path.object.get());
            if (outcome.ok()) break;
        }
        raise_if_failed(out.commit(), path.object.get());
        return destination.release();
    });
}

Py_ssize_t sd_file_length(PyObject* self) {
    return boundary(self, [&] { return static_cast<Py_ssize_t>(block_count(sd_file(self))); });
}

PyObject* sd_file_item(PyObject* self, Py_ssize_t i) {
    return boundary(self, [&] {
        SDFileObject& object = sd_file(self);
        const std::size_t count = block_count(object);
        if (i < 0 || static_cast<std::size_t>(i) >= count)
            raise(PyExc_IndexError, "SDFile index out of range");
        return read_block(object, static_cast<std::size_t>(i)).release();
    });
}

PyObject* sd_file_repr(PyObject* self) {
    // Never indexes: a repr in a debugger must not scan a large file.
    return boundary(self, [&] {
        return Ref::check(PyUnicode_FromFormat("SDFile(%R)", sd_file(self).path.get())).release();
    });
}

PyObject* sd_file_iter(PyObject* self) {
    // The blocks in order, each read as f[i] reads it, until IndexError.
    return PySeqIter_New(self);
}

PyObject* sd_file_subscript(PyObject* self, PyObject* key) {
    return boundary(self, [&] {
        SDFileObject& object = sd_file(self);
        const Py_ssize_t count = static_cast<Py_ssize_t>(block_count(object));
        if (PySlice_Check(key)) {
            Py_ssize_t start = 0, stop = 0, step = 0;
            if (PySlice_Unpack(key, &start, &stop, &step) < 0) throw PythonError{};
            const Py_ssize_t length = PySlice_AdjustIndices(count, &start, &stop, step);
            Ref list = Ref::check(PyList_New(length));
            for (Py_ssize_t k = 0; k < length; ++k) {
                Ref block = read_block(object, static_cast<std::size_t>(start + k * step));
                PyList_SetItem(list.get(), k, block.release());
            }
            return list.release();
        }
        if (!PyIndex_Check(key))
            raise_wrong_type("SDFile indices must be integers or slices, not %U", key);
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) throw PythonError{};
        if (i < 0) i += count;
        if (i < 0 || i >= count) raise(PyExc_IndexError, "SDFile index out of range");
        return read_block(object, static_cast<std::size_t>(i)).release();
    });
}

int sd_file_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return boundary(self, [&]() -> int {
        if (flags & PyBUF_WRITABLE) raise(PyExc_BufferError, "SDFile offsets are read-only");
        SDFileObject& object = sd_file(self);
        if (PyObject* compressed = compressed_blocks(object)) {
            // The virtual offsets, viewed in the array that holds them.
            Ref offsets = Ref::check(PyObject_GetAttrString(compressed, "offsets"));
            if (PyObject_GetBuffer(offsets.get(), view, flags) < 0) throw PythonError{};
            return 0;
        }
        const std::vector<uint64_t>& offsets = ready(object).offsets();
        object.shape = static_cast<Py_ssize_t>(offsets.size());
        // The offsets never change once found, so the view needs no release hook.
        static char format[] = "Q";
        static_assert(sizeof(unsigned long long) == sizeof(uint64_t));
        view->obj = Ref::borrow(self).release();
        view->buf = const_cast<uint64_t*>(offsets.data());
        view->len = static_cast<Py_ssize_t>(offsets.size() * sizeof(uint64_t));
        view->readonly = 1;
        view->itemsize = sizeof(uint64_t);
        view->format = (flags & PyBUF_FORMAT) ? format : nullptr;
        view->ndim = 1;
        view->shape = (flags & PyBUF_ND) ? &object.shape : nullptr;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &view->itemsize : nullptr;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        return 0;
    });
}

PyObject* get_offsets(PyObject* self, void*) {
    return boundary(self, [&] { return Ref::check(PyMemoryView_FromObject(self)).release(); });
}

PyObject* get_path(PyObject* self, void*) {
    return boundary(self, [&] { return Ref::borrow(sd_file(self).path.get()).release(); });
}

// Pickles carry the index: (size, mtime_ns, offsets as native uint64 bytes).
PyObject* sd_file_reduce(PyObject* self, PyObject*) {
    return boundary(self, [&] {
        SDFileObject& object = sd_file(self);
        Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
        if (PyObject* compressed = compressed_blocks(object)) {
            // A compressed file's state is its saved index, checked on unpickling.
            Ref state = Ref::check(PyObject_CallMethod(compressed, "state", nullptr));
            return Ref::check(Py_BuildValue("(O(O)O)", type.get(), object.path.get(), state.get()))
                .release();
        }
        const core::BlockFile& file = ready(object);
        const std::vector<uint64_t>& offsets = file.offsets();
        Ref data = Ref::check(
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(offsets.data()),
                                      static_cast<Py_ssize_t>(offsets.size() * sizeof(uint64_t))));
        Ref state =
            Ref::check(Py_BuildValue("(KLO)", static_cast<unsigned long long>(file.stamp().size),
                                     static_cast<long long>(file.stamp().mtime_ns), data.get()));
        return Ref::check(Py_BuildValue("(O(O)O)", type.get(), object.path.get(), state.get()))
            .release();
    });
}

PyObject* sd_file_setstate(PyObject* self, PyObject* state) {
    return boundary(self, [&] {
        unsigned long long size = 0;
        long long mtime = 0;
        PyObject* data = nullptr;
        if (PyBytes_Check(state)) {
            SDFileObject& object = sd_file(self);
            if (object.compressed || object.file->is_ready())
                raise(PyExc_ValueError, "an SDFile in use cannot take another index");
            Ref from_state = gzaccess_function("blocks_from_state");
            Ref made = Ref::check(PyObject_CallFunction(from_state.get(), "OOO", object.path.get(),
                                                        object.is_str ? Py_True : Py_False, state));
            keep_compressed(object, std::move(made));
            Py_RETURN_NONE;
        }
        // PyArg_ParseTuple takes a non-tuple for an internal error.
        if (!PyTuple_Check(state))
            raise(PyExc_TypeError, "SDFile.__setstate__() takes the tuple that __reduce__ gave");
        if (!PyArg_ParseTuple(state, "KLO!:__setstate__", &size, &mtime, &PyBytes_Type, &data))
            throw PythonError{};
        std::string_view bytes = str_or_bytes_view(data);
        if (bytes.size() % sizeof(uint64_t) != 0 || bytes.empty())
            raise(PyExc_ValueError, "SDFile state holds no whole offsets");
        std::vector<uint64_t> offsets(bytes.size() / sizeof(uint64_t));
        std::memcpy(offsets.data(), bytes.data(), bytes.size());
        // Offsets that do not rise from 0 to the size would read outside
        // blocks (they may stop short of it by trailing whitespace, which the
        // first use checks).
        if (!core::offsets_fit(offsets, size))
            raise(PyExc_ValueError, "SDFile state offsets do not rise from 0 to the size");
        if (!sd_file(self).file->adopt(std::move(offsets), {size, static_cast<int64_t>(mtime)}))
            raise(PyExc_ValueError, "an SDFile in use cannot take another index");
        Py_RETURN_NONE;
    });
}

// --- shards -----------------------------------------------------------------

// The shards of a gzip file, cut by molvane/_gzaccess.py (in virtual offsets
// for BGZF), or null for any other file, which `file` is left open on.
Ref compressed_shards(core::RandomAccessFile& file, const PathArgument& path, uint64_t n,
                      uint64_t piece) {
    open_retrying(file, path);
    if (file.refusal().kind != core::FileFault::Kind::Compressed ||
        file.compression() != core::Compression::Gzip)
        return {};
    Ref cut = gzaccess_function("shards");
    return Ref::check(PyObject_CallFunction(
        cut.get(), "OKKO", path.object.get(), static_cast<unsigned long long>(n),
        static_cast<unsigned long long>(piece), path.is_str ? Py_True : Py_False));
}

PyObject* shards(PyObject* module, PyObject* args, PyObject* kwargs) {
    return boundary(module, [&] {
        static const char* keywords[] = {"path", "n", "size", nullptr};
        PyObject* source = nullptr;
        PyObject* n_object = Py_None;
        PyObject* size_object = Py_None;
        parse_arguments(args, kwargs, "O|OO:shards", keywords, &source, &n_object, &size_object);
        if (n_object != Py_None && size_object != Py_None)
            raise(PyExc_TypeError, "shards() takes n or size, not both");
        uint64_t n = 0;
        uint64_t piece = 0;
        if (n_object != Py_None) {
            n = byte_offset_argument("shards", "n", n_object);
            if (n == 0) raise(PyExc_ValueError, "shards() n must be at least 1");
        } else if (size_object != Py_None) {
            piece = byte_offset_argument("shards", "size", size_object);
            if (piece == 0) raise(PyExc_ValueError, "shards() size must be at least 1");
        } else {
            Ref os = Ref::check(PyImport_ImportModule("os"));
            Ref cpus = Ref::check(PyObject_CallMethod(os.get(), "cpu_count", nullptr));
            n = cpus.get() == Py_None ? 1 : PyLong_AsUnsignedLongLong(cpus.get());
            throw_if_error();
        }
        if (is_url_argument(source)) {
            Ref remote_shards = remote_function("shards");
            Ref pieces = Ref::check(PyLong_FromUnsignedLongLong(n));
            Ref bytes = Ref::check(PyLong_FromUnsignedLongLong(piece));
            return Ref::check(PyObject_CallFunctionObjArgs(remote_shards.get(), source,
                                                           pieces.get(), bytes.get(), nullptr))
                .release();
        }
        PathArgument path = path_argument(source);
        core::RandomAccessFile file;
        if (Ref cut = compressed_shards(file, path, n, piece)) return cut.release();
        raise_file_fault(path.object.get(), file.refusal());
        const uint64_t file_size = file.stamp().size;
        std::vector<uint64_t> bounds;
        if (file_size != 0) {
            std::shared_ptr<const core::Mapping> mapping = file.map();
            if (!mapping)
                raise_file_fault(path.object.get(),
                                 core::FileFault::of(core::FileFault::Kind::Unmappable));
            if (piece != 0) n = file_size / piece + (file_size % piece != 0);
            const std::size_t pieces = static_cast<std::size_t>(n);
            const bool universal = path.is_str;
            const bool intact = without_gil([&] {
                return core::cut_shards(mapping->data(), mapping->size(), pieces, universal,
                                        bounds);
            });
            if (!intact)
                raise_file_fault(path.object.get(),
                                 core::FileFault::shrank(core::FileFault::Step::Cut));
        }
        const Py_ssize_t count = bounds.empty() ? 0 : static_cast<Py_ssize_t>(bounds.size() - 1);
        Ref list = Ref::check(PyList_New(count));
        for (Py_ssize_t k = 0; k < count; ++k) {
            Ref pair = Ref::check(Py_BuildValue(
                "(KK)", static_cast<unsigned long long>(bounds[static_cast<std::size_t>(k)]),
                static_cast<unsigned long long>(bounds[static_cast<std::size_t>(k) + 1])));
            PyList_SetItem(list.get(), k, pair.release());
        }
        return list.release();
    });
}

constexpr const char kShardsDoc[] =
    "shards(path, n=None, size=None)\n--\n\n"
    "Cut a file into runs of whole blocks, for reading in parallel.\n\n"
    "Returns (start, stop) byte offsets for `parse_sdf(path, start=start,\n"
    "stop=stop)`: the first start is 0, each stop is the next start and the\n"
    "last stop is the file's size (or where whitespace after the last $$$$\n"
    "line starts: that is no block), so the shards hold every block exactly\n"
    "once, in order. Every start is the first byte of a block (by the rule of\n"
    "the path's kind: a str path's blocks also end at CR), and no shard is\n"
    "empty, so there may be fewer than asked for: a file of three blocks\n"
    "gives at most three, an empty file none. Only the lines around each cut\n"
    "are read.\n\n"
    "A URL of a plain remote file (s3://, https://, ...) is cut alike, each\n"
    "cut found from a small window read around it.\n\n"
    "A BGZF file (blocked gzip, as bgzip and `write_sdf(..., bgzf=True)`\n"
    "write it) is cut on member boundaries, n or size counting compressed\n"
    "bytes, and its offsets are virtual (member offset << 16 | offset in\n"
    "the member); the last stop is the end of its members.\n\n"
    "Args:\n"
    "    path: a str, bytes or os.PathLike path to a regular file on a\n"
    "        local file system, uncompressed or BGZF\n"
    "    n: the number of shards of about equal bytes (os.cpu_count() when\n"
    "        neither n nor size is given)\n"
    "    size: the bytes of each shard, about; the last may be smaller\n\n"
    "Returns:\n"
    "    A list of (start, stop) pairs\n\n"
    "Raises:\n"
    "    TypeError: for both n and size, or a non-int one\n"
    "    ValueError: for n or size below 1, a pipe or a compressed file that\n"
    "        is not BGZF";

// core's block start after a cut, for a window of a remote file.
PyObject* next_block_start(PyObject* module, PyObject* args, PyObject* kwargs) {
    return boundary(module, [&] {
        static const char* keywords[] = {"window",   "cut",    "universal",
                                         "at_start", "at_end", nullptr};
        PyObject* window = nullptr;
        PyObject* cut_object = nullptr;
        PyObject* universal = Py_False;
        PyObject* at_start = Py_False;
        PyObject* at_end = Py_False;
        parse_arguments(args, kwargs, "SO$O!O!O!:_next_block_start", keywords, &window, &cut_object,
                        &PyBool_Type, &universal, &PyBool_Type, &at_start, &PyBool_Type, &at_end);
        const uint64_t cut = byte_offset_argument("_next_block_start", "cut", cut_object);
        const std::string_view data = str_or_bytes_view(window);
        const std::size_t found = core::next_block_start_in_window(
            data.data(), data.size(), static_cast<std::size_t>(cut), universal == Py_True,
            at_start == Py_True, at_end == Py_True);
        if (found == static_cast<std::size_t>(-1)) return Ref::borrow(Py_None).release();
        return Ref::check(PyLong_FromSize_t(found)).release();
    });
}

PyMethodDef kNextBlockStartDef = {
    "_next_block_start", keywords_method(next_block_start), METH_VARARGS | METH_KEYWORDS,
    "_next_block_start($module, window, cut, *, universal, at_start, at_end)\n--\n\n"
    "The offset in `window` (bytes of a file) of the first block starting at or\n"
    "after `cut`, as shards finds it in the whole file, or None when the window\n"
    "cannot tell and a larger one is needed. `at_start` and `at_end` say whether\n"
    "the window begins at the file's start and ends at its end."};

PyMethodDef kShardsDef = {"shards", keywords_method(shards), METH_VARARGS | METH_KEYWORDS,
                          kShardsDoc};

constexpr const char kReduceDoc[] = "Pickle as the path and its index: a worker never rescans.";
constexpr const char kSetStateDoc[] = "Take the index of a pickle.";

constexpr const char kSaveIndexDoc[] =
    "save_index($self, path=None)\n--\n\n"
    "Write the block index to `path`, by default the file's path with\n"
    "\".idx\" added, for `SDFile(path, index=...)` to load instead of\n"
    "scanning. The index file (written through a temporary renamed over the\n"
    "target) is a small binary: the magic \"MVSDIDX\\0\", the format version\n"
    "(1), the splitting rule (0 for bytes paths, 1 for str paths), the\n"
    "file's size and modification time (ns) and the offsets, all as\n"
    "little-endian 32- and 64-bit integers. Returns the path written.";

PyMethodDef kMethods[] = {
    {"save_index", keywords_method(sd_file_save_index), METH_VARARGS | METH_KEYWORDS,
     kSaveIndexDoc},
    {"__reduce__", sd_file_reduce, METH_NOARGS, kReduceDoc},
    {"__setstate__", sd_file_setstate, METH_O, kSetStateDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kOffsetsDoc[] =
    "The block index: a read-only buffer of len(self) + 1 native uint64\n"
    "values (format \"Q\"), the first byte of each block and then the file's\n"
    "size, so block i is bytes [offsets[i], offsets[i + 1]) of the file.\n"
    "Whitespace after the last $$$$ line is no block: the last offset is\n"
    "then where it starts.\n"
    "`numpy.frombuffer(f.offsets, dtype=numpy.uint64)` views it without a\n"
    "copy. Reading it indexes the file if that has not happened yet.";

constexpr const char kPathDoc[] = "The path, as os.fspath() gave it.";

PyGetSetDef kGetSets[] = {
    {"offsets", get_offsets, nullptr, kOffsetsDoc, nullptr},
    {"path", get_path, nullptr, kPathDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kSDFileDoc[] =
    "SDFile(path, *, index=None)\n--\n\n"
    "Random access to the blocks of one SD file.\n\n"
    "`len(f)`, `f[i]` (negative too), `f[a:b:c]` (a list of blocks) and\n"
    "`for block in f` read the blocks that `parse_sdf(path)` gives, of the\n"
    "same kind: a str path gives str blocks with universal newlines\n"
    "translated, a bytes path bytes blocks split on b\"\\n\" only. The block\n"
    "index is found on first use by one scan of the file without the GIL,\n"
    "at the speed of memchr; each block is then read with one pread of\n"
    "exactly its bytes. See `offsets` for the index itself.\n\n"
    "Pickling carries the path, the index and the file's size and\n"
    "modification time (ns), so an SDFile sent to a process pool is never\n"
    "scanned again. A file whose size or modification time is no longer the\n"
    "indexed one raises OSError on every access rather than being scanned\n"
    "again: an index that silently changed under a running job would mix\n"
    "two versions of the file. A file replaced by a new one (renamed over\n"
    "the path) after the first access goes on being read from the old one.\n\n"
    "`index` names an index written by `save_index`: it is checked to be\n"
    "for the path's kind and, on first use, for the file's size and\n"
    "modification time, and replaces the scan.\n\n"
    "A URL (s3://, https://, ...) gives an object of molvane._remote with\n"
    "these methods, which streams the file once to index it and reads each\n"
    "block with one ranged request.\n\n"
    "The file must be regular and on a local file system: pipes raise\n"
    "ValueError on first use, and so do compressed files, except BGZF\n"
    "(blocked gzip): its blocks are found by one decompressing pass (or\n"
    "taken from the index saved beside it, FILE.idx, when that matches the\n"
    "file), `offsets` holds virtual offsets (member offset << 16 | offset\n"
    "in the member, then the end of the members), and each block is read\n"
    "from the members that hold it. An SDFile is safe to share between\n"
    "threads.\n\n"
    "Args:\n"
    "    path: a str, bytes or os.PathLike path\n"
    "    index: a path to an index saved by `save_index`, or None to scan\n\n"
    "Raises:\n"
    "    TypeError: if `path` is not a path\n"
    "    ValueError: if `index` is not a saved index for this kind of path";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(sd_file_new)},
    {Py_tp_doc, const_cast<char*>(kSDFileDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<SDFileObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_object<SDFileObject>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSets},
    {Py_tp_iter, reinterpret_cast<void*>(sd_file_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(sd_file_repr)},
    {Py_mp_length, reinterpret_cast<void*>(sd_file_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(sd_file_subscript)},
    {Py_sq_length, reinterpret_cast<void*>(sd_file_length)},
    {Py_sq_item, reinterpret_cast<void*>(sd_file_item)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(sd_file_getbuffer)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "molvane.native.SDFile",
    object_size<SDFileObject>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

Ref new_sd_file_type(PyObject* module) {
    return new_type(module, kSpec);
}

Ref next_block_start_function(PyObject* module) {
    return module_function(module, kNextBlockStartDef);
}

Ref shards_function(PyObject* module) {
    return module_function(module, kShardsDef);
}

}  // namespace molvane::py
