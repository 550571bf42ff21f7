#include "core/line_items.hpp"

#include "core/dollar_line.hpp"
#include "core/lines.hpp"

namespace molvane::core {

bool LineItems::add(std::string_view item) {
    splitter_.append(item.data(), item.size());
    if (first_) {
        ending_ = title_line_ending(item);
        first_ = false;
    }
    if (!item.ends_with('\n')) {
        std::string_view completion = item.ends_with('\r') ? kLF : ending_;
        splitter_.append(completion.data(), completion.size());
    }
    return starts_with_dollars(item);
}

}  // namespace molvane::core
