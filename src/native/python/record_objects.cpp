#include "python/record_objects.hpp"

#include "python/decode.hpp"
#include "python/errors.hpp"
#include "python/name_cache.hpp"

namespace molvane::py {

Ref record_value_object(const core::Block& block, std::string_view sd,
                        const core::RecordSpan& record, std::string& scratch) {
    return record_object(block, core::record_value(sd, record, scratch), record.name(sd));
}

Ref record_pair(RecordNames& names, std::string_view sd, const core::RecordSpan& record,
                std::string& scratch) {
    Ref name = names.make(record.name(sd));
    Ref value = record_value_object(names.block(), sd, record, scratch);
    return Ref::check(PyTuple_Pack(2, name.get(), value.get()));
}

}  // namespace molvane::py
