#include "core/kinds_scan.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "core/fault_guard.hpp"
#include "core/lines.hpp"
#include "core/number_text.hpp"
#include "core/record.hpp"

namespace molvane::core {

namespace {

constexpr size_t kNameRoom = 1 << 16;
constexpr size_t kRecordRoom = 1 << 12;

}  // namespace

KindsScan::KindsScan(std::shared_ptr<const Mapping> mapping, bool is_str) noexcept
    : mapping_(std::move(mapping)),
      splitter_(mapping_->data(), mapping_->size(), is_str, false, true, true),
      is_str_(is_str) {
    install_fault_handler();
}

bool KindsScan::restrict_to(uint64_t start, uint64_t stop) {
    if (!splitter_.restrict_to_range(start, stop)) return false;
    position_ = splitter_.split_offset();
    return true;
}

// A block walked in place must have the text a reader would give it: a
// `$$$$` line (the last block without one is completed by the reader), and
// no CR that a text block translates.
bool KindsScan::needs_building(const BlockSpan& span) const noexcept {
    return span.dollar == npos || (is_str_ && span.first_cr != span.end);
}

// Walks one block in the mapping, as Block::locate_mdl_end() and the
// builder's RecordScanner read it; false when the room reserved is full
// (the block's records are then dropped). Runs under the guard.
bool KindsScan::walk_one(const BlockSpan& span) noexcept {
    const char* data = mapping_->data();
    const std::string_view text(data + span.begin, span.end - span.begin);
    const size_t dollar = span.dollar - span.begin;
    Walked walked{span, records_.size(), 0, false};
    const size_t names_before = names_.size();
    const size_t first_lf = dollar == 0 ? npos : find_byte(text, 0, '\n');
    if (first_lf != npos) {
        const size_t title_end = first_lf + 1;
        const size_t dollar_start = std::max(dollar, title_end);
        const size_t mdl_end = find_mdl_end(text, title_end, dollar_start);
        const std::string_view sd =
            mdl_end == npos ? std::string_view() : text.substr(mdl_end, dollar_start - mdl_end);
        RecordScanner scanner(sd, 0, UnnamedHeader::Skip);
        RecordSpan record;
        while (scanner.next(record)) {
            if (!record.named) {
                walked.malformed = true;
                break;
            }
            const std::string_view name = record.name(sd);
            if (records_.size() == records_.capacity() ||
                names_.capacity() - names_.size() < name.size()) {
                records_.resize(walked.first);
                names_.resize(names_before);
                return false;
            }
            ScannedRecord& scanned = records_.emplace_back();
            scanned.name = names_.size();
            scanned.name_size = name.size();
            names_.append(name);
            // A value folded from CR LF lines still holds a line break, so
            // its raw bytes read as the folded value does: as text.
            scanned.number = read_number(record.raw_value(sd));
        }
    }
    walked.count = records_.size() - walked.first;
    if (walked_.size() == walked_.capacity()) {
        records_.resize(walked.first);
        names_.resize(names_before);
        return false;
    }
    walked_.push_back(walked);
    return true;
}

// Walks spans_ from `from` until a block needs building or the room is
// full; the first span not walked.
size_t KindsScan::walk(size_t from) noexcept {
    size_t at = from;
    while (at < spans_.size() && !needs_building(spans_[at]) && walk_one(spans_[at]))
        ++at;
    return at;
}

std::optional<Block> KindsScan::build(const BlockSpan& span) const {
    const char* data = mapping_->data();
    const size_t size = mapping_->size();
    std::string text;
    text.reserve(span.end - span.begin + kBuildSlack);
    auto copy = [&]() noexcept { text.assign(data + span.begin, span.end - span.begin); };
    if (!run_guarded(data, size, copy)) return std::nullopt;
    const size_t first_cr = is_str_ ? span.first_cr - span.begin : npos;
    const size_t dollar = span.dollar == npos ? npos : span.dollar - span.begin;
    Block block = build_owned_block(std::move(text), !is_str_, first_cr, dollar);
    block.origin.offset = span.begin;
    return block;
}

bool KindsScan::scan_batch(TableBuilder& builder) {
    if (!splitter_.split_batch()) return false;
    spans_.clear();
    while (splitter_.has_ready())
        spans_.push_back(splitter_.pop());
    if (names_.capacity() < kNameRoom) names_.reserve(kNameRoom);
    if (records_.capacity() < kRecordRoom) records_.reserve(kRecordRoom);
    if (walked_.capacity() < spans_.size()) walked_.reserve(spans_.size());
    const char* data = mapping_->data();
    const size_t size = mapping_->size();
    size_t next = 0;
    while (next < spans_.size()) {
        names_.clear();
        records_.clear();
        walked_.clear();
        size_t stop = next;
        auto run = [&]() noexcept { stop = walk(next); };
        if (!run_guarded(data, size, run)) return false;
        for (const Walked& walked : walked_) {
            failed_ = walked.span;
            builder.add_scanned(records_.data() + walked.first, walked.count, names_,
                                walked.malformed);
            ++number_;
            position_ = walked.span.end;
        }
        next = stop;
        if (next == spans_.size()) break;
        const BlockSpan& span = spans_[next];
        if (needs_building(span)) {
            failed_ = span;
            std::optional<Block> block = build(span);
            if (!block) return false;
            block->locate_mdl_end();
            builder.add(*block);
            ++number_;
            position_ = span.end;
            ++next;
        } else if (walked_.empty()) {
            // One block's records outgrew the room: more for the next walk.
            names_.reserve(std::max(names_.capacity() * 2, span.end - span.begin));
            records_.reserve(records_.capacity() * 2);
        }
    }
    return true;
}

std::optional<Block> KindsScan::failed_block(uint64_t first_number) const {
    std::optional<Block> block = build(failed_);
    if (block) block->origin.number = first_number + number_;
    return block;
}

}  // namespace molvane::core
