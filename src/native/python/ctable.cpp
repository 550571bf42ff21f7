#include "python/ctable.hpp"

#include <string>
#include <vector>

#include "core/ctable/v3000.hpp"
#include "python/arguments.hpp"
#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/list.hpp"
#include "python/method_def.hpp"

namespace molvane::py {

namespace {

// The UTF-8 bytes of a str line. Lone surrogates are kept (as "surrogatepass"
// encodes them) so that every str round-trips through the table unchanged.
std::string line_bytes(PyObject* line) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(line, &size))
        return std::string(utf8, static_cast<size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
    PyErr_Clear();
    Ref encoded = Ref::check(PyUnicode_AsEncodedString(line, "utf-8", "surrogatepass"));
    char* data = nullptr;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) throw PythonError{};
    return std::string(data, static_cast<size_t>(size));
}

Ref line_object(const std::string& line) {
    return Ref::check(
        PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "surrogatepass"));
}

std::vector<std::string> lines_from_iterable(PyObject* iterable) {
    Ref iterator = Ref::check(PyObject_GetIter(iterable));
    std::vector<std::string> lines;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get()))
            raise_wrong_type("CTable lines must be str, not %U", item.get());
        lines.push_back(line_bytes(item.get()));
    }
    throw_if_error();
    return lines;
}

PyObject* ctable_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    return boundary(cls, [&] {
        static const char* keywords[] = {"lines", nullptr};
        PyObject* lines = nullptr;
        parse_arguments(args, kwargs, "O:CTable", keywords, &lines);
        ctable::Table table = ctable::Table::from_lines(lines_from_iterable(lines));
        // The class cannot be subclassed: `type` is always CTable.
        return new_ctable_object(cls, std::move(table)).release();
    });
}

PyObject* get_lines(PyObject* self, void*) {
    return with_shared<CTableObject>(self, [&](CTableObject& object) {
        const std::vector<std::string>& lines = object.table.lines;
        return new_list(lines.size(), [&](size_t i) { return line_object(lines[i]); }).release();
    });
}

// num_atoms and num_bonds: a count of the counts line.
template <std::int64_t ctable::Table::*count>
PyObject* get_count(PyObject* self, void*) {
    return with_shared<CTableObject>(
        self, [](CTableObject& object) { return PyLong_FromLongLong(object.table.*count); });
}

PyObject* validate(PyObject* self, PyObject* args, PyObject* kwargs, ctable::SectionKind kind,
                   const char* format) {
    return boundary(self, [&] {
        static const char* keywords[] = {"strict", nullptr};
        int strict = 0;
        parse_arguments(args, kwargs, format, keywords, &strict);
        CTableObject& object = state_of<CTableObject>(self);
        SharedUse use(object.guard);
        try {
            ctable::validate_indices(object.table, kind, strict);
        } catch (...) {
            object.name_block_in_error(self);
            throw;
        }
        Py_RETURN_TRUE;
    });
}

PyObject* valid_atom_indices(PyObject* self, PyObject* args, PyObject* kwargs) {
    return validate(self, args, kwargs, ctable::SectionKind::Atom, "|p:valid_atom_indices");
}

PyObject* valid_bond_indices(PyObject* self, PyObject* args, PyObject* kwargs) {
    return validate(self, args, kwargs, ctable::SectionKind::Bond, "|p:valid_bond_indices");
}

PyObject* table_renumber_indices(PyObject* self, PyObject*) {
    return with_exclusive<CTableObject>(self, [&](CTableObject& object) {
        ctable::renumber_indices(object.table);
        Py_RETURN_NONE;
    });
}

PyObject* table_fix_counts(PyObject* self, PyObject*) {
    return with_exclusive<CTableObject>(self, [&](CTableObject& object) {
        ctable::fix_counts(object.table);
        Py_RETURN_NONE;
    });
}

constexpr const char kCTableDoc[] =
    "CTable(lines)\n--\n\n"
    "Handle a Connection table (CTAB) from a single molecule block.\n\n"
    "`lines` is any iterable of str, one line each without its line end,\n"
    "the title first. Construction parses only the counts line, for the\n"
    "format and the atom and bond counts, which may differ from the number\n"
    "of atom and bond lines; the other lines are kept as written.\n\n"
    "Errors about the table's contents are `molvane.CTableError`, a\n"
    "ValueError, and `MalformedCTableError` names the CTable line (the title\n"
    "is line 1). Operations that a table's format or constructs do not\n"
    "support raise NotImplementedError.";

constexpr const char kValidAtomIndicesDoc[] =
    "valid_atom_indices($self, strict=False)\n--\n\n"
    "Validate that the atom lines match the counts line.\n\n"
    "The atom lines stand between `M  V30 BEGIN ATOM` and `M  V30 END ATOM`\n"
    "in the root CTAB; a line ending in \"-\" continues onto the next and\n"
    "counts once. Every index must be an integer seen only once and, with\n"
    "strict=True, the indices must run 1, 2, 3, ... in order. The number of\n"
    "atom lines must equal the atom count.\n\n"
    "Returns:\n"
    "    True.\n\n"
    "Raises:\n"
    "    MalformedCTableError: if the section or an index is malformed.\n"
    "    IndicesOutOfOrderError: with strict=True, at the first index out of\n"
    "        order.\n"
    "    IndicesDuplicateError: at an index seen before.\n"
    "    IndicesMismatchError: if the number of atom lines differs from the\n"
    "        atom count.\n"
    "    NotImplementedError: for V2000 tables.";

constexpr const char kValidBondIndicesDoc[] =
    "valid_bond_indices($self, strict=False)\n--\n\n"
    "Validate that the bond lines match the counts line.\n\n"
    "The bond lines stand between `M  V30 BEGIN BOND` and `M  V30 END BOND`\n"
    "in the root CTAB; a line ending in \"-\" continues onto the next and\n"
    "counts once. Every index must be an integer seen only once and, with\n"
    "strict=True, the indices must run 1, 2, 3, ... in order. The number of\n"
    "bond lines must equal the bond count.\n\n"
    "Returns:\n"
    "    True.\n\n"
    "Raises:\n"
    "    MalformedCTableError: if the section or an index is malformed.\n"
    "    IndicesOutOfOrderError: with strict=True, at the first index out of\n"
    "        order.\n"
    "    IndicesDuplicateError: at an index seen before.\n"
    "    IndicesMismatchError: if the number of bond lines differs from the\n"
    "        bond count.\n"
    "    NotImplementedError: for V2000 tables.";

constexpr const char kRenumberIndicesDoc[] =
    "renumber_indices($self)\n--\n\n"
    "Renumber the atom and bond indices in the block.\n\n"
    "Atom lines are numbered 1, 2, 3, ... in the order they stand, bond lines\n"
    "likewise, and each bond's two atoms are mapped to their new indices.\n"
    "The rest of every line is kept as written. The counts are not changed:\n"
    "call `fix_counts` too after adding or removing lines.\n\n"
    "Raises:\n"
    "    MalformedCTableError: if a field is missing or not an integer, or a\n"
    "        bond refers to no atom.\n"
    "    IndicesDuplicateError: if a bond refers to an index that several\n"
    "        atoms have.\n"
    "    NotImplementedError: for V2000 tables, CTABs nested in RGROUP or\n"
    "        TEMPLATE blocks, continued (-) atom or bond lines and, when\n"
    "        indices change, ATTCHORD, ENDPTS, SGROUP, COLLECTION, OBJ3D or\n"
    "        LINKNODE references.\n\n"
    "The table is unchanged when an error is raised.";

constexpr const char kFixCountsDoc[] =
    "fix_counts($self)\n--\n\n"
    "Set the counts line to the number of atom and bond lines.\n\n"
    "Only the atom and bond counts of the `M  V30 COUNTS` line change; every\n"
    "other field and separator is kept. A line continued with \"-\" counts\n"
    "once with its continuation, and a missing section counts 0.\n\n"
    "Raises:\n"
    "    MalformedCTableError: if a section or the counts line is malformed.\n"
    "    NotImplementedError: for V2000 tables and CTABs nested in RGROUP or\n"
    "        TEMPLATE blocks.\n\n"
    "The table is unchanged when an error is raised.";

PyMethodDef kMethods[] = {
    {"valid_atom_indices", keywords_method(valid_atom_indices), METH_VARARGS | METH_KEYWORDS,
     kValidAtomIndicesDoc},
    {"valid_bond_indices", keywords_method(valid_bond_indices), METH_VARARGS | METH_KEYWORDS,
     kValidBondIndicesDoc},
    {"renumber_indices", table_renumber_indices, METH_NOARGS, kRenumberIndicesDoc},
    {"fix_counts", table_fix_counts, METH_NOARGS, kFixCountsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSets[] = {
    {"lines", get_lines, nullptr, "Return a copy of the original connection-table lines.", nullptr},
    {"num_atoms", get_count<&ctable::Table::num_atoms>, nullptr,
     "Return the atom count from the counts line.", nullptr},
    {"num_bonds", get_count<&ctable::Table::num_bonds>, nullptr,
     "Return the bond count from the counts line.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ctable_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<CTableObject>)},
    {Py_tp_doc, const_cast<char*>(kCTableDoc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSets},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "molvane.native.CTable",
    object_size<CTableObject>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

Ref new_ctable_type(PyObject* module) {
    return new_type(module, kSpec);
}

Ref new_ctable_object(PyObject* ctable_type, ctable::Table&& table,
                      std::optional<BlockLabel> source) {
    return new_object<CTableObject>(ctable_type, std::move(table), UseGuard{}, std::move(source));
}

}  // namespace molvane::py
