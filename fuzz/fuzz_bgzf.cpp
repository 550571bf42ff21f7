// BGZF member headers on any input: the walk must stay inside the data,
// give members that follow each other exactly, each of the size its header
// names and at least a header and trailer long, and stop (with the fault's
// offset) where the next bytes are no whole member.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/bgzf.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    using molvane::core::BgzfMembers;
    const char* data = reinterpret_cast<const char*>(bytes);
    const BgzfMembers members = molvane::core::walk_bgzf(data, size);
    if (members.offsets.size() != members.sizes.size() + 1) std::abort();
    if (members.offsets.front() != 0 || members.offsets.back() > size) std::abort();
    for (std::size_t k = 0; k + 1 < members.offsets.size(); ++k) {
        const std::string_view rest(data + members.offsets[k], size - members.offsets[k]);
        const std::size_t length = molvane::core::bgzf_member_size(rest);
        if (length == 0 || members.offsets[k + 1] - members.offsets[k] != length) std::abort();
        if (molvane::core::bgzf_data_start(rest) + molvane::core::kGzipTrailerLength > length)
            std::abort();
    }
    const bool whole = members.offsets.back() == size;
    if (whole != members.fault.ok()) std::abort();
    if (!whole && members.fault.offset != members.offsets.back()) std::abort();
    return 0;
}
