#include "core/mapped_reader.hpp"

#include "core/error.hpp"
#include "core/lines.hpp"

namespace molvane::core {

MappedReader::MappedReader(std::shared_ptr<const Mapping> mapping, bool is_str,
                           bool borrow) noexcept
    : mapping_(std::move(mapping)),
      splitter_(mapping_->data(), mapping_->size(), is_str, borrow, true),
      is_str_(is_str) {}

Block MappedReader::build(const BlockSpan& span) const {
    std::string_view range(mapping_->data() + span.begin, span.end - span.begin);
    size_t dollar = span.dollar == npos ? npos : span.dollar - span.begin;
    if (!span.borrowable) {
        size_t first_cr = is_str_ ? span.first_cr - span.begin : npos;
        return build_block(range, !is_str_, first_cr, dollar);
    }
    // The range already is a finished block's text: share the mapping.
    Block block;
    block.is_bytes = !is_str_;
    block.title_end = dollar == 0 ? 0 : find_byte(range, 0, '\n') + 1;
    block.text = BlockText(mapping_, span.begin, span.end);
    return block;
}

void MappedReader::read_batch() {
    splitter_.split_batch();
    while (splitter_.has_ready())
        ready_.push_back(build(splitter_.pop()));
}

Block MappedReader::take() {
    expect(!ready_.empty(), "no mapped block is ready");
    Block block = std::move(ready_.front());
    ready_.pop_front();
    return block;
}

}  // namespace molvane::core
