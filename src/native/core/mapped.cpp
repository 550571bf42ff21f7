#include "core/mapped.hpp"

#include <sys/mman.h>

namespace molvane::core {

Mapping::~Mapping() {
    if (data_ && size_) munmap(const_cast<char*>(data_), size_);
}

}  // namespace molvane::core
