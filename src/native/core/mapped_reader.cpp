#include "core/mapped_reader.hpp"

#include "core/error.hpp"
#include "core/fault_guard.hpp"
#include "core/lines.hpp"

namespace molvane::core {

MappedReader::MappedReader(std::shared_ptr<const Mapping> mapping, bool is_str,
                           bool borrow) noexcept
    : mapping_(std::move(mapping)),
      splitter_(mapping_->data(), mapping_->size(), is_str, borrow, true, true),
      is_str_(is_str) {
    install_fault_handler();
}

bool MappedReader::restrict_to(uint64_t start, uint64_t stop) {
    if (!splitter_.restrict_to_range(start, stop)) return false;
    position_ = batch_end_ = splitter_.split_offset();
    return true;
}

bool MappedReader::build(const BlockSpan& span, Block& block) const {
    const char* data = mapping_->data();
    const size_t size = mapping_->size();
    std::string_view range(data + span.begin, span.end - span.begin);
    size_t dollar = span.dollar == npos ? npos : span.dollar - span.begin;
    if (!span.borrowable) {
        // Copy first, under the guard; everything after works on the copy.
        std::string text;
        text.reserve(range.size() + kBuildSlack);
        auto copy = [&]() noexcept { text.assign(range); };
        if (!run_guarded(data, size, copy)) return false;
        size_t first_cr = is_str_ ? span.first_cr - span.begin : npos;
        block = build_owned_block(std::move(text), !is_str_, first_cr, dollar, true);
        block.origin.offset = span.begin;
        return true;
    }
    // The range already is a finished block's text: share the mapping.
    size_t title_end = 0;
    if (dollar != 0) {
        auto find_title_end = [&]() noexcept { title_end = find_byte(range, 0, '\n') + 1; };
        if (!run_guarded(data, size, find_title_end)) return false;
    }
    block = Block();
    block.is_bytes = !is_str_;
    block.title_end = title_end;
    block.text = BlockText(mapping_, span.begin, span.end);
    block.origin.offset = span.begin;
    return true;
}

bool MappedReader::read_batch() {
    if (!splitter_.split_batch()) return false;
    while (splitter_.has_ready()) {
        Block block;
        const BlockSpan span = splitter_.pop();
        batch_end_ = span.end;
        if (!build(span, block)) return false;
        ready_.push_back(std::move(block));
    }
    return true;
}

Block MappedReader::take() {
    expect(!ready_.empty(), "no mapped block is ready");
    Block block = std::move(ready_.front());
    ready_.pop_front();
    position_ = ready_.empty() ? batch_end_ : ready_.front().origin.offset;
    return block;
}

}  // namespace molvane::core
