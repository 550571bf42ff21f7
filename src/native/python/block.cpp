#include "python/block.hpp"

#include <string>
#include <vector>

#include "python/arguments.hpp"
#include "python/block_members.hpp"
#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/text_arguments.hpp"

namespace molvane::py {

namespace {

// --- construction -----------------------------------------------------------

PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    return boundary(cls, [&] {
        static const char* keywords[] = {"sdf", "records", "header", nullptr};
        PyObject* sdf = nullptr;
        PyObject* records = Py_None;
        PyObject* header = nullptr;
        parse_arguments(args, kwargs, "O|O$U:SDBlock", keywords, &sdf, &records, &header);
        core::HeaderStyle style = header ? parse_header_style(header) : core::HeaderStyle::Plain;
        if (!PyUnicode_Check(sdf) && !PyBytes_Check(sdf))
            raise(PyExc_TypeError, "SDBlock() argument must be str or bytes");
        core::Block block = core::block_from_text(str_or_bytes_view(sdf), PyBytes_Check(sdf));
        // The class cannot be subclassed: `type` is always SDBlock.
        Ref object = new_block_object(cls, std::move(block));
        if (records != Py_None)
            append_constructor_records(type_state(type), as_block(object.get()), records, style);
        return object.release();
    });
}

// --- sections ---------------------------------------------------------------

PyObject* get_title(PyObject* self, void*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        return block_value(object.block, object.block.title(), "Reading the title of").release();
    });
}

int refuse_delete(PyObject* value, const char* name) {
    if (value) return 0;
    PyErr_Format(PyExc_AttributeError, "cannot delete SDBlock attribute '%s'", name);
    return -1;
}

int set_title(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value, "title") < 0) return -1;
    return with_exclusive<BlockObject>(self, [&](BlockObject& object) {
        std::string_view title = block_typed_bytes(object.block, value, "titles");
        object.block.set_title(title);
        return 0;
    });
}

PyObject* get_molblock(PyObject* self, void*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        return block_value(object.block, object.block.molblock(), "Reading the molblock of")
            .release();
    });
}

int set_molblock(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value, "molblock") < 0) return -1;
    return with_exclusive<BlockObject>(self, [&](BlockObject& object) {
        object.block.set_molblock(block_typed_bytes(object.block, value, "molblocks"));
        return 0;
    });
}

PyObject* get_mdl(PyObject* self, void*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        return block_value(object.block, object.block.mdl(), "Reading the MDL of").release();
    });
}

PyObject* block_repr(PyObject* self) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        std::string_view title = object.block.title();
        Ref shown = object.block.is_bytes
                        ? Ref::check(PyBytes_FromStringAndSize(
                              title.data(), static_cast<Py_ssize_t>(title.size())))
                        : decode_replacing(title);
        return PyUnicode_FromFormat("<SDBlock title=%R>", shown.get());
    });
}

PyObject* block_str(PyObject* self) {
    if (as_block(self).block.is_bytes) return block_repr(self);
    return with_shared<BlockObject>(self, [](BlockObject& object) {
        Ref text = block_value(object.block, object.block.view(), "Writing");
        object.block.utf8_checked = true;
        return text.release();
    });
}

constexpr const char kBlockDoc[] =
    "SDBlock(sdf, records=None, *, header=\"plain\")\n--\n\n"
    "Handle a single molecule block from an SD file.\n\n"
    "`SDBlock[str]` blocks come from text input and `SDBlock[bytes]` blocks\n"
    "from binary input; names, values and lines have the block's type.\n\n"
    "Record names are read and written as given, unchecked. The CTfile\n"
    "format reserves `>`, and its field names start with a letter followed\n"
    "by letters, digits and underscores (no `-`, `.`, `<`, `>`, `=`, `%` or\n"
    "spaces); keeping names valid is up to the caller, since other toolkits\n"
    "may read invalid ones differently.\n\n"
    "A record's value is its lines up to a blank one, as read but without\n"
    "their line endings, joined with \"\\n\". Lines of only ASCII whitespace,\n"
    "which `bytes.strip()` removes, are blank, in str blocks too, as in\n"
    "RDKit and OEChem. Methods that read records raise\n"
    "`molvane.MalformedRecordError`, a ValueError, at a header line with no\n"
    "`<name>`.\n\n"
    "Values are checked only for what would change the block's shape: the\n"
    "setters refuse a value holding a blank line followed by more text or a\n"
    "`$$$$` line, which would read back as more records or blocks.";

constexpr const char kTitleDoc[] =
    "Return the title line without trailing whitespace, in the input type.\n\n"
    "Only ASCII whitespace is stripped, as `bytes.rstrip()` does, in str\n"
    "blocks too; `molblock` and writes keep the whole title line.\n\n"
    "Setting it: Replace the title line.\n\n"
    "Raises:\n"
    "    ValueError: if the title holds a line break, or starts with `$$$$`,\n"
    "        which would end the block.\n"
    "    TypeError: if the title is not the block's type.";

constexpr const char kMolblockDoc[] =
    "Return the title line and CTAB through `M  END` as one value.\n\n"
    "Suitable for RDKit's `Chem.MolFromMolBlock` or OpenEye's\n"
    "`OEReadMolFromBytes`.\n\n"
    "Setting it: Replace the title line and CTAB, keeping the SD data.\n\n"
    "A str molblock has its \"\\r\\n\" and \"\\r\" newlines translated to \"\\n\",\n"
    "so `block.molblock = Chem.MolToMolBlock(mol)` works on any block; a\n"
    "bytes molblock is stored as given. Whitespace after `M  END` is dropped.\n\n"
    "Raises:\n"
    "    ValueError: if the molblock has no `M  END` line, more than\n"
    "        whitespace after it, or a line starting with `$$$$`.\n"
    "    TypeError: if the molblock is not the block's type.";

constexpr const char kMdlDoc[] =
    "Return the CTAB after the title, through `M  END`, as one value.\n\n"
    "Every line ends in a newline, so `needle in block.mdl` searches the\n"
    "CTAB and `block.mdl.splitlines()` gives its lines. `block.molblock`\n"
    "is `block.title`, the title line's ending, then `block.mdl`.";

const PyGetSetDef kGetSets[] = {
    {"title", get_title, set_title, kTitleDoc, nullptr},
    {"molblock", get_molblock, set_molblock, kMolblockDoc, nullptr},
    {"mdl", get_mdl, nullptr, kMdlDoc, nullptr},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(block_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<BlockObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(block_repr)},
    {Py_tp_str, reinterpret_cast<void*>(block_str)},
    {Py_tp_doc, const_cast<char*>(kBlockDoc)},
};

const BlockMembers kOwnMembers = {{}, kGetSets, kSlots};

// Every member table of SDBlock: this file's, then each concept's, in order.
const BlockMembers* const kMembers[] = {
    &kOwnMembers,        &kReaderMembers,          &kRecordMembers,
    &kRecordEditMembers, &kRecordIterationMembers, &kTableMembers,
    &kProtocolMembers,   &kDepictMembers,
};

// The PyType_Spec and the tables it points to, joined from kMembers. Every SDBlock
// type, one per module object in any interpreter, points into them, so they
// are built once, on the first module's execution step, and live for the
// process; they are plain data that no interpreter owns.
struct BlockTypeTables {
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getsets;
    std::vector<PyType_Slot> slots;
    PyType_Spec spec;

    BlockTypeTables() {
        for (const BlockMembers* members : kMembers) {
            methods.insert(methods.end(), members->methods.begin(), members->methods.end());
            getsets.insert(getsets.end(), members->getsets.begin(), members->getsets.end());
            slots.insert(slots.end(), members->slots.begin(), members->slots.end());
        }
        methods.push_back({nullptr, nullptr, 0, nullptr});
        getsets.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        slots.push_back({Py_tp_methods, methods.data()});
        slots.push_back({Py_tp_getset, getsets.data()});
        slots.push_back({0, nullptr});
        spec = {"molvane.native.SDBlock", object_size<BlockObject>, 0,
                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
    }
};

}  // namespace

Ref new_block_type(PyObject* module) {
    static BlockTypeTables tables;
    return new_type(module, tables.spec);
}

Ref new_block_object(PyObject* block_type, core::Block&& block) {
    return new_object<BlockObject>(block_type, std::move(block));
}

core::HeaderStyle parse_header_style(PyObject* header) {
    if (!PyUnicode_Check(header)) raise(PyExc_TypeError, "header must be str");
    if (PyUnicode_CompareWithASCIIString(header, "plain") == 0) return core::HeaderStyle::Plain;
    if (PyUnicode_CompareWithASCIIString(header, "padded") == 0) return core::HeaderStyle::Padded;
    if (PyUnicode_CompareWithASCIIString(header, "copy") == 0) return core::HeaderStyle::Copy;
    PyErr_Format(PyExc_ValueError, "header must be 'plain', 'padded', or 'copy', not '%U'", header);
    throw PythonError{};
}

}  // namespace molvane::py
