#include "python/writer.hpp"

#include <memory>
#include <vector>

#include "python/arguments.hpp"
#include "python/block.hpp"
#include "python/block_writer.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/held_error.hpp"
#include "python/method_def.hpp"
#include "python/object.hpp"
#include "python/ref.hpp"
#include "python/text_arguments.hpp"

namespace molvane::py {

namespace {

// Writes what `writer` still buffers and completes the write: a path
// written through a temporary shows the output only now. On failure the
// write is abandoned (the temporary removed) and the failure raised.
void finish(BlockWriter& writer) {
    try {
        if (writer.has_buffered()) writer.flush();
        writer.commit();
    } catch (...) {
        writer.close_sink();
        throw;
    }
}

// Ends a write that an error or a signal cut short. A path written through
// a temporary is left as it was; any other destination keeps the blocks
// accepted before, which are written out now (a failure doing so raises).
void abandon(BlockWriter& writer) {
    if (writer.is_atomic())
        writer.close_sink();
    else
        finish(writer);
}

// An open writer that goes away without close() completes its write, as
// close() would: a path gets the whole new file. One dropped by an exception
// on its way up (destroyed while the exception is set, as a Ctrl-C between
// sdf_writer() and the `with` does) is abandoned instead, as leaving a
// `with` block by an exception abandons it. A failure cannot be raised from
// here and goes to the unraisable-exception hook instead.
// `owner` is the writer object, or null where it is no longer at hand.
void finish_on_destroy(std::unique_ptr<BlockWriter>& open_writer, PyObject* owner) noexcept {
    if (!open_writer) return;
    HeldError pending = HeldError::fetch();
    std::unique_ptr<BlockWriter> writer = std::move(open_writer);
    try {
        if (pending)
            abandon(*writer);
        else
            finish(*writer);
    } catch (...) {
        set_error_from_current_exception(owner);
        PyErr_WriteUnraisable(writer->sink_object());
    }
    writer.reset();
    pending.restore();
}

// Takes `self` off its module's list of open writers.
void forget_writer(PyObject* self) noexcept {
    ModuleState* state = find_state(self);
    if (!state) {
        PyErr_Clear();
        return;
    }
    auto& open = state->open_writers;
    for (auto it = open.begin(); it != open.end(); ++it) {
        if (*it == self) {
            open.erase(it);
            return;
        }
    }
}

// --- write_sdf and sdf_writer ------------------------------------------------

PyObject* write_sdf(PyObject* module, PyObject* args, PyObject* kwargs) {
    return boundary(module, [&] {
        // `_durable=False` skips the sync to the device, for the benchmark
        // that measures what the sync costs. `_trailing`, called with the
        // last block written (or None) once the blocks are done, returns the
        // whitespace to write after them (or None): how the command line
        // copies an input's trailing whitespace.
        static const char* keywords[] = {"dest",     "blocks",    "compresslevel", "bgzf",
                                         "_durable", "_trailing", nullptr};
        PyObject* dest = nullptr;
        PyObject* blocks = nullptr;
        PyObject* level = Py_None;
        int bgzf = 0;
        int durable = 1;
        PyObject* trailing = Py_None;
        parse_arguments(args, kwargs, "OO|$OppO:write_sdf", keywords, &dest, &blocks, &level, &bgzf,
                        &durable, &trailing);
        // A non-iterable fails here, before the destination is created.
        Ref iterator = Ref::check(PyObject_GetIter(blocks));
        const ModuleState& state = module_state(module);
        BlockWriter writer(state, dest, level, bgzf != 0);
        writer.set_durable(durable != 0);
        HeldError held;
        Ref last;
        try {
            for (;;) {
                // A list of blocks runs no bytecode in between: Ctrl-C is
                // noticed here.
                check_signals();
                Ref item = Ref::steal(PyIter_Next(iterator.get()));
                if (!item) {
                    throw_if_error();
                    break;
                }
                if (!is_block(state, item.get()))
                    raise_wrong_type("write_sdf() items must be SDBlock, not %U", item.get());
                writer.add(as_block(item.get()));
                last = std::move(item);
            }
            if (trailing != Py_None) {
                Ref text = Ref::check(
                    PyObject_CallFunctionObjArgs(trailing, last ? last.get() : Py_None, nullptr));
                if (text.get() != Py_None) writer.add_trailing(str_or_bytes_view(text.get()));
            }
        } catch (...) {
            // The blocks before the failure are still written out below.
            set_error_from_current_exception(module);
            held = HeldError::fetch();
        }
        iterator.reset();
        last.reset();
        if (held) {
            abandon(writer);  // its failure replaces the held error
            held.raise_again();
        }
        finish(writer);
        return PyLong_FromUnsignedLongLong(writer.blocks_written());
    });
}

// The C++ state of a _SDFWriter object.
struct WriterObject {
    std::unique_ptr<BlockWriter> writer;  // null once closed
    UseGuard guard{};

    ~WriterObject() { finish_on_destroy(writer, nullptr); }

    int traverse(visitproc visit, void* arg) const {
        if (writer) Py_VISIT(writer->held_object());
        return 0;
    }
};

WriterObject& as_writer(PyObject* object) {
    return state_of<WriterObject>(object);
}

PyObject* sdf_writer(PyObject* module, PyObject* args, PyObject* kwargs) {
    return boundary(module, [&] {
        static const char* keywords[] = {"dest", "compresslevel", "bgzf", nullptr};
        PyObject* dest = nullptr;
        PyObject* level = Py_None;
        int bgzf = 0;
        parse_arguments(args, kwargs, "O|$Op:sdf_writer", keywords, &dest, &level, &bgzf);
        ModuleState& state = module_state(module);
        auto writer = std::make_unique<BlockWriter>(state, dest, level, bgzf != 0);
        Ref object = new_object<WriterObject>(state.writer_type.get(), std::move(writer));
        state.open_writers.push_back(object.get());
        return object.release();
    });
}

// --- _SDFWriter --------------------------------------------------------------

PyObject* writer_write(PyObject* self, PyObject* block) {
    return boundary(self, [&] {
        if (!is_block(object_state(self), block))
            raise_wrong_type("write() argument must be SDBlock, not %U", block);
        WriterObject& object = as_writer(self);
        ExclusiveUse use(object.guard);
        if (!object.writer) raise(PyExc_ValueError, "I/O operation on a closed sdf_writer");
        object.writer->add(as_block(block));
        Py_RETURN_NONE;
    });
}

// The command line's split: an input's trailing whitespace after the last
// block of the last part.
PyObject* writer_write_trailing(PyObject* self, PyObject* text) {
    return boundary(self, [&] {
        WriterObject& object = as_writer(self);
        ExclusiveUse use(object.guard);
        if (!object.writer) raise(PyExc_ValueError, "I/O operation on a closed sdf_writer");
        object.writer->add_trailing(str_or_bytes_view(text));
        Py_RETURN_NONE;
    });
}

// close() and __exit__: the writer is closed from the start, whatever the
// final write does. `completed` false abandons the write instead.
PyObject* close_writer(PyObject* self, bool completed) {
    return with_exclusive<WriterObject>(self, [&](WriterObject& object) {
        std::unique_ptr<BlockWriter> writer = std::move(object.writer);
        if (writer) {
            forget_writer(self);
            if (completed)
                finish(*writer);
            else
                abandon(*writer);
        }
        Py_RETURN_NONE;
    });
}

PyObject* writer_close(PyObject* self, PyObject*) {
    return close_writer(self, true);
}

// Leaving a `with` block by an exception abandons the write.
PyObject* writer_exit(PyObject* self, PyObject* args) {
    const bool raised = PyTuple_Size(args) > 0 && PyTuple_GetItem(args, 0) != Py_None;
    return close_writer(self, !raised);
}

PyObject* writer_enter(PyObject* self, PyObject*) {
    return Py_NewRef(self);
}

// Runs before the collector clears a cycle that holds an open writer (for
// instance through a file object that keeps its own writer).
void writer_finalize(PyObject* self) {
    if (as_writer(self).writer) forget_writer(self);
    finish_on_destroy(as_writer(self).writer, self);
}

void writer_dealloc(PyObject* self) {
    if (as_writer(self).writer) forget_writer(self);
    dealloc_object<WriterObject>(self);
}

// Registered with atexit: the writers still open when the interpreter exits
// are completed while every module they need is intact, as their
// destruction would complete them (which, at exit, may come too late or not
// at all). A failure goes to the unraisable-exception hook.
//
// A program ended by an unhandled exception (the interpreter has printed it
// and kept it as sys.last_value) stopped its writers midway: their targets
// keep what they held, as when an exception leaves a `with` block, and a
// line on stderr says so.
PyObject* finish_open_writers(PyObject* module, PyObject*) {
    std::vector<PyObject*>& open = module_state(module).open_writers;
    PyObject* last_error = PySys_GetObject("last_value");  // borrowed, may be NULL
    const bool crashed = last_error != nullptr && last_error != Py_None;
    while (!open.empty()) {
        Ref writer = Ref::borrow(open.back());
        if (crashed) {
            WriterObject& object = as_writer(writer.get());
            if (object.writer)
                PySys_FormatStderr(
                    "molvane: %R left as it was: the program ended by an exception before "
                    "its sdf_writer was closed\n",
                    object.writer->sink_object());
        }
        Ref closed = Ref::steal(close_writer(writer.get(), !crashed));
        // close_writer takes it off the list; one that was in use is not.
        if (!open.empty() && open.back() == writer.get()) open.pop_back();
        if (!closed) PyErr_WriteUnraisable(writer.get());
    }
    Py_RETURN_NONE;
}

int writer_clear(PyObject* self) {
    // Finalisation has already written out an open writer; this only lets
    // go of whatever is left.
    as_writer(self).writer.reset();
    return 0;
}

constexpr const char kWriteSdfDoc[] =
    "write_sdf(dest, blocks, *, compresslevel=None, bgzf=False)\n--\n\n"
    "Write SDBlocks to a path or a file object, and return how many.\n\n"
    "Blocks are written as `str(block)` or `bytes(block)`, 64-256 KiB at a\n"
    "time: to a path without holding the GIL, or to a file object with one\n"
    "`write` call per chunk, as str for text blocks or bytes for byte-backed\n"
    "ones. Text blocks must be valid UTF-8.\n\n"
    "A regular file (or a new one) is written through a temporary file in\n"
    "its directory, synced to the device and renamed over the path once\n"
    "every block is written: until then the path holds what it held\n"
    "before, so `write_sdf(path, parse_sdf(path))` is safe, and an error,\n"
    "a signal or a power loss leaves the old file or the whole new one. The\n"
    "file keeps its mode (and owner and group where the process may set\n"
    "them); a symlink is followed; a hard link is replaced by the new file.\n"
    "A file the process may not open for writing (mode 0444) is refused,\n"
    "and so is one in a directory where no temporary can be made: it is\n"
    "never truncated in place. FIFOs and devices such as /dev/stdout are\n"
    "written directly.\n\n"
    "A path ending in .gz, .bz2, .xz or .zst is compressed in that format\n"
    "(gzip through isal; .zst needs `molvane[zstd]`). `compresslevel` sets\n"
    "the level: 0-9 for gzip (isal has four levels: 0, 1-3, 4-7 and 8-9\n"
    "map onto them; default 6), 1-9 for bz2 (default 9), 0-9 for xz\n"
    "(default 6) and 1-22 for zstd (default 3). `bgzf=True` writes a .gz\n"
    "path as BGZF (the blocked gzip of bgzip: members of at most 64 KiB and\n"
    "an end marker), which any gzip reader reads and which SDFile, shards\n"
    "and Dask read at any block. Str blocks written to a\n"
    "binary file object go out as UTF-8 bytes, checked as for a path.\n\n"
    "An error or a signal's exception (KeyboardInterrupt) stops writing: a\n"
    "path written through a temporary is left as it was; any other\n"
    "destination gets the blocks before the failing one, and a failed write\n"
    "may leave part of its chunk written. Buffered and text file objects (such as `sys.stdout` or "
    "those\n"
    "`open` returns by default) write everything or raise. When `write`\n"
    "returns a count smaller than its chunk, as an unbuffered (`buffering=0`)\n"
    "file may, the rest goes to further `write` calls, and a call that takes\n"
    "nothing raises OSError. A `write` that returns None counts as having\n"
    "taken the whole chunk, so a nonblocking unbuffered file, which returns\n"
    "None when it would block, may lose a chunk.\n\n"
    "Raises:\n"
    "    TypeError: if `blocks` is not iterable, an item is not an SDBlock,\n"
    "        or str and bytes blocks are mixed for a file object.\n"
    "    UnicodeDecodeError: if a str block is not UTF-8.\n"
    "    OSError: if `dest` cannot be created or written.";

constexpr const char kSdfWriterDoc[] =
    "sdf_writer(dest, *, compresslevel=None, bgzf=False)\n--\n\n"
    "Write SDBlocks one at a time to a path or a file object, buffered.\n\n"
    "Use it as `with sdf_writer(dest) as out:` and call `out.write(block)`\n"
    "for each block. Blocks are written as `write_sdf` writes them: a\n"
    "regular file through a temporary file that `close` renames over the\n"
    "path, so the path shows the new blocks only once the writer is closed.\n"
    "Leaving the `with` block by an exception discards them and leaves the\n"
    "path as it was. A writer dropped without `close` (or still open when\n"
    "the interpreter exits) is closed then, as `close` would, unless an\n"
    "exception on its way up dropped it. A file object\n"
    "stays open; `close` writes the blocks still buffered. A\n"
    "path ending in .gz, .bz2, .xz or .zst is compressed, at\n"
    "`compresslevel` (and as BGZF with `bgzf=True`), as `write_sdf` does.\n\n"
    "Raises:\n"
    "    OSError: if `dest` cannot be created.";

constexpr const char kWriterDoc[] =
    "Write SDBlocks one at a time, buffered as `write_sdf` writes them.\n\n"
    "`close` writes the blocks still buffered and closes a path, renaming\n"
    "its temporary file over it; a file object is left open. Leaving a\n"
    "`with` block closes the writer; leaving it by an exception discards\n"
    "what a path was to get. Writing to a closed writer raises ValueError.";

constexpr const char kWriteDoc[] =
    "write($self, block, /)\n--\n\n"
    "Write a block, ending with $$$$, as `str(block)` or `bytes(block)`.\n\n"
    "Raises:\n"
    "    TypeError: for a str block after bytes ones to a file object, or the\n"
    "        reverse.\n"
    "    UnicodeDecodeError: for a str block that is not UTF-8.\n"
    "    ValueError: if the writer is closed.\n"
    "    OSError: if a buffered chunk cannot be written.";

constexpr const char kCloseDoc[] =
    "close($self)\n--\n\n"
    "Write the buffered blocks and close a path. Closing twice does nothing.\n\n"
    "Raises:\n"
    "    OSError: if the buffered blocks cannot be written; the writer is\n"
    "        closed anyway.";

PyMethodDef kWriteSdfDef = {"write_sdf", keywords_method(write_sdf), METH_VARARGS | METH_KEYWORDS,
                            kWriteSdfDoc};
PyMethodDef kFinishOpenWritersDef = {"_finish_open_writers", finish_open_writers, METH_NOARGS,
                                     nullptr};
PyMethodDef kSdfWriterDef = {"sdf_writer", keywords_method(sdf_writer),
                             METH_VARARGS | METH_KEYWORDS, kSdfWriterDoc};

PyMethodDef kMethods[] = {
    {"write", writer_write, METH_O, kWriteDoc},
    {"_write_trailing", writer_write_trailing, METH_O,
     "_write_trailing($self, text, /)\n--\n\n"
     "Write text that is no block (an input's trailing whitespace) as it is."},
    {"close", writer_close, METH_NOARGS, kCloseDoc},
    {"__enter__", writer_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", writer_exit, METH_VARARGS, "__exit__($self, *_exc_info)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(writer_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_object<WriterObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kWriterDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "molvane.native._SDFWriter",
    object_size<WriterObject>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

Ref write_sdf_function(PyObject* module) {
    return module_function(module, kWriteSdfDef);
}

Ref sdf_writer_function(PyObject* module) {
    return module_function(module, kSdfWriterDef);
}

Ref new_writer_type(PyObject* module) {
    Ref at_exit = Ref::check(PyImport_ImportModule("atexit"));
    Ref hook = module_function(module, kFinishOpenWritersDef);
    Ref::check(PyObject_CallMethod(at_exit.get(), "register", "O", hook.get()));
    return new_type(module, kSpec);
}

}  // namespace molvane::py
