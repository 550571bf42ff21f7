// The member tables of SDBlock that live beside the concept they serve.
// block.cpp builds the type from its own tables and these, in the order it
// lists them; a new SDBlock member goes in the table of its concept's file.
#pragma once

#include <Python.h>

#include <span>

namespace molvane::py {

struct BlockMembers {
    std::span<const PyMethodDef> methods;  // without the null sentinel
    std::span<const PyGetSetDef> getsets;  // without the null sentinel
    std::span<const PyType_Slot> slots;    // without the {0, nullptr} sentinel
};

extern const BlockMembers kReaderMembers;           // read.cpp: from_sdf, from_lines
extern const BlockMembers kRecordMembers;           // records.cpp: records, get, [], in, len
extern const BlockMembers kRecordEditMembers;       // record_edit.cpp: set_record, [] =, ...
extern const BlockMembers kRecordIterationMembers;  // record_iter.cpp: iter_records, iter()
extern const BlockMembers kTableMembers;            // block_ctable.cpp: ctable, num_atoms, ...
extern const BlockMembers kProtocolMembers;         // block_protocols.cpp: ==, buffer, pickle
extern const BlockMembers kDepictMembers;           // block_depict.cpp: svg, _repr_svg_, ...

}  // namespace molvane::py
