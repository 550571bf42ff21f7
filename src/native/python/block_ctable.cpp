// The table operations of SDBlock: ctable(), num_atoms, num_bonds,
// renumber_indices() and fix_counts(). The work is done by the core on the
// block's bytes; this file only takes the block's use guard and converts.
#include <Python.h>

#include "core/ctable/block_lines.hpp"
#include "core/ctable/layout.hpp"
#include "python/block.hpp"
#include "python/block_members.hpp"
#include "python/ctable.hpp"
#include "python/decode.hpp"
#include "python/errors.hpp"

namespace molvane::py {

namespace {

constexpr std::string_view kCTabAccess = "Reading the CTAB of";

ctable::Table table_of(BlockObject& object) {
    try {
        return ctable::block_table(object.block);
    } catch (const core::DecodeError& error) {
        raise_block_decode_error(object.block, error.bytes(), error.start(), error.end(),
                                 kCTabAccess);
    }
}

PyObject* block_ctable(PyObject* self, PyObject*) {
    return with_shared<BlockObject>(self, [&](BlockObject& object) {
        return new_ctable_object(object_state(self).ctable_type.get(), table_of(object),
                                 BlockLabel::of(object.block))
            .release();
    });
}

// num_atoms and num_bonds: a count of the counts line, read from the header.
template <std::int64_t ctable::Header::*count>
PyObject* get_count(PyObject* self, void*) {
    return with_shared<BlockObject>(self, [](BlockObject& object) {
        return PyLong_FromLongLong(ctable::block_header(object.block).*count);
    });
}

PyObject* repair(PyObject* self, ctable::Repair which) {
    return with_exclusive<BlockObject>(self, [&](BlockObject& object) {
        try {
            ctable::repair_block(object.block, which);
        } catch (const core::DecodeError& error) {
            raise_block_decode_error(object.block, error.bytes(), error.start(), error.end(),
                                     kCTabAccess);
        }
        Py_RETURN_NONE;
    });
}

PyObject* block_renumber_indices(PyObject* self, PyObject*) {
    return repair(self, ctable::Repair::RenumberIndices);
}

PyObject* block_fix_counts(PyObject* self, PyObject*) {
    return repair(self, ctable::Repair::FixCounts);
}

// What the command line's check and repair read of the table, from core's
// rules: (blank, has_end, format, num_atoms, num_bonds, atom_lines, bond_lines,
// header_too_short, header_problem); format and counts are None where the
// header cannot be read, and the line counts are those of a V2000 table.
PyObject* block_ctab_layout(PyObject* self, PyObject*) {
    return with_shared<BlockObject>(self, [](BlockObject& object) {
        const ctable::Layout layout = ctable::read_layout(object.block);
        Ref format = Ref::borrow(Py_None);
        Ref atoms = Ref::borrow(Py_None);
        Ref bonds = Ref::borrow(Py_None);
        if (layout.header) {
            format = Ref::check(PyUnicode_FromString(
                layout.header->format == ctable::Format::V2000 ? "V2000" : "V3000"));
            atoms = Ref::check(PyLong_FromLongLong(layout.header->num_atoms));
            bonds = Ref::check(PyLong_FromLongLong(layout.header->num_bonds));
        }
        Ref problem = layout.header_problem.empty()
                          ? Ref::borrow(Py_None)
                          : Ref::check(PyUnicode_DecodeUTF8(
                                layout.header_problem.data(),
                                static_cast<Py_ssize_t>(layout.header_problem.size()), "replace"));
        return Py_BuildValue("(OOOOOnnOO)", layout.blank ? Py_True : Py_False,
                             layout.has_end ? Py_True : Py_False, format.get(), atoms.get(),
                             bonds.get(), static_cast<Py_ssize_t>(layout.atom_lines),
                             static_cast<Py_ssize_t>(layout.bond_lines),
                             layout.header_too_short ? Py_True : Py_False, problem.get());
    });
}

constexpr const char kCTableDoc[] =
    "ctable($self)\n--\n\n"
    "Parse out the underlying CTable object.\n\n"
    "The table holds the title (without trailing whitespace) and the CTAB\n"
    "lines through `M  END`, each without its LF (a CR before it is kept).\n"
    "Lines of bytes blocks are decoded as Latin-1, so `line.encode(\"latin-1\")`\n"
    "gives their bytes back; lines of str blocks as UTF-8. The table is\n"
    "independent of the block: editing one never changes the other.\n\n"
    "Raises:\n"
    "    MalformedCTableError: if the counts line cannot be read.\n"
    "    UnicodeDecodeError: if a str block's title or CTAB is not UTF-8.";

constexpr const char kNumAtomsDoc[] =
    "The number of atoms declared by the counts line.\n\n"
    "Only the header lines are read, decoded as UTF-8 with undecodable bytes\n"
    "replaced, so this never raises UnicodeDecodeError.\n\n"
    "Raises:\n"
    "    MalformedCTableError: if the counts line cannot be read.";

constexpr const char kNumBondsDoc[] =
    "The number of bonds declared by the counts line.\n\n"
    "Only the header lines are read, decoded as UTF-8 with undecodable bytes\n"
    "replaced, so this never raises UnicodeDecodeError.\n\n"
    "Raises:\n"
    "    MalformedCTableError: if the counts line cannot be read.";

constexpr const char kRenumberIndicesDoc[] =
    "renumber_indices($self)\n--\n\n"
    "Renumber atom and bond indices to be 1-indexed and in order.\n\n"
    "Runs `CTable.renumber_indices` on the block's table and writes its lines\n"
    "back: the title line, the SD data and the terminator line are kept byte\n"
    "for byte, and every line keeps its line ending. The counts are not\n"
    "changed: call `fix_counts` too after adding or removing lines.\n\n"
    "Raises:\n"
    "    MalformedCTableError: if a field is missing or not an integer, or a\n"
    "        bond refers to no atom.\n"
    "    IndicesDuplicateError: if a bond refers to an index that several\n"
    "        atoms have.\n"
    "    NotImplementedError: for V2000 tables, CTABs nested in RGROUP or\n"
    "        TEMPLATE blocks, continued (-) atom or bond lines and, when\n"
    "        indices change, ATTCHORD, ENDPTS, SGROUP, COLLECTION, OBJ3D or\n"
    "        LINKNODE references.\n"
    "    UnicodeDecodeError: if a str block's title or CTAB is not UTF-8.\n"
    "    BufferError: while the block's data is exported.\n\n"
    "The block is unchanged when an error is raised.";

constexpr const char kFixCountsDoc[] =
    "fix_counts($self)\n--\n\n"
    "Set the counts line to the number of atom and bond lines.\n\n"
    "Runs `CTable.fix_counts` on the block's table and writes its lines\n"
    "back: only the atom and bond counts of the `M  V30 COUNTS` line change,\n"
    "and the title line, the SD data and the terminator line are kept byte\n"
    "for byte.\n\n"
    "Raises:\n"
    "    MalformedCTableError: if a section or the counts line is malformed.\n"
    "    NotImplementedError: for V2000 tables and CTABs nested in RGROUP or\n"
    "        TEMPLATE blocks.\n"
    "    UnicodeDecodeError: if a str block's title or CTAB is not UTF-8.\n"
    "    BufferError: while the block's data is exported.\n\n"
    "The block is unchanged when an error is raised.";

const PyMethodDef kMethods[] = {
    {"ctable", block_ctable, METH_NOARGS, kCTableDoc},
    {"renumber_indices", block_renumber_indices, METH_NOARGS, kRenumberIndicesDoc},
    {"fix_counts", block_fix_counts, METH_NOARGS, kFixCountsDoc},
    {"_ctab_layout", block_ctab_layout, METH_NOARGS,
     "_ctab_layout($self)\n--\n\nThe table's layout as the command line's check reads it."},
};

const PyGetSetDef kGetSets[] = {
    {"num_atoms", get_count<&ctable::Header::num_atoms>, nullptr, kNumAtomsDoc, nullptr},
    {"num_bonds", get_count<&ctable::Header::num_bonds>, nullptr, kNumBondsDoc, nullptr},
};

}  // namespace

const BlockMembers kTableMembers = {kMethods, kGetSets, {}};

}  // namespace molvane::py
