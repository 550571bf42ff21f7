#include "core/block_file.hpp"

#include <algorithm>
#include <string_view>

#include "core/block_index.hpp"
#include "core/input_ending.hpp"
#include "core/split.hpp"

namespace molvane::core {

bool BlockFile::adopt(std::vector<uint64_t> offsets, FileStamp stamp) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ready_.load(std::memory_order_relaxed)) return false;
    offsets_ = std::move(offsets);
    stamp_ = stamp;
    adopted_ = true;
    return true;
}

FileFault BlockFile::ready() {
    if (is_ready()) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    if (ready_.load(std::memory_order_relaxed)) return {};
    IoOutcome outcome;
    do {
        outcome = file_.open(path_);
    } while (outcome.status == IoOutcome::Status::Interrupted);
    if (!outcome.ok()) return FileFault::of(outcome);
    if (!file_.refusal().ok()) return file_.refusal();
    if (adopted_) {
        if (!(file_.stamp() == stamp_)) return FileFault::of(FileFault::Kind::Changed);
        // Indexes saved before whitespace after the last `$$$$` line was told
        // apart end with that whitespace as a block of its own: it is the
        // file's trailing whitespace now. A real last block is told by its
        // first bytes. Dropped, the rest of the file is known to be blank.
        if (offsets_.size() >= 2 && check_trailing(offsets_[offsets_.size() - 2]).ok()) {
            offsets_.pop_back();
        } else {
            const FileFault trailing = check_trailing(offsets_.back());
            if (!trailing.ok()) return trailing;
        }
    } else {
        stamp_ = file_.stamp();
        offsets_.clear();
        if (stamp_.size != 0) {
            std::shared_ptr<const Mapping> mapping = file_.map();
            if (!mapping) return FileFault::of(FileFault::Kind::Unmappable);
            if (!index_blocks(mapping->data(), mapping->size(), universal_, offsets_))
                return FileFault::shrank(FileFault::Step::Index);
        } else {
            offsets_.push_back(0);
        }
    }
    ready_.store(true, std::memory_order_release);
    return {};
}

FileFault BlockFile::check_trailing(uint64_t from) const {
    char chunk[4096];
    for (uint64_t at = from; at < stamp_.size;) {
        const auto length =
            static_cast<std::size_t>(std::min<uint64_t>(sizeof chunk, stamp_.size - at));
        const IoOutcome outcome = file_.read_at(at, chunk, length);
        if (!outcome.ok()) return FileFault::of(outcome);
        if (!is_blank_tail(std::string_view(chunk, length)))
            return FileFault::of(FileFault::Kind::Misfit);
        at += length;
    }
    return {};
}

FileFault BlockFile::read(std::size_t i, Block& block) const {
    FileStamp now;
    if (IoOutcome outcome = file_.current_stamp(now); !outcome.ok()) return FileFault::of(outcome);
    if (!(now == stamp_)) return FileFault::of(FileFault::Kind::Changed);
    const uint64_t begin = offsets_[i];
    const std::size_t length = static_cast<std::size_t>(offsets_[i + 1] - begin);
    std::string text;
    text.reserve(length + kBuildSlack);
    text.resize(length);
    if (IoOutcome outcome = file_.read_at(begin, text.data(), length); !outcome.ok())
        return FileFault::of(outcome);
    block = block_of_text(std::move(text), universal_, begin, i);
    return {};
}

Block block_of_text(std::string text, bool universal, uint64_t offset, std::size_t number) {
    // The block's own split finds its `$$$$` line and first CR.
    const char* data = text.data();
    const std::size_t length = text.size();
    const Split step = universal ? split_universal(data, length, 0) : split_lf(data, length, 0);
    const std::size_t first_cr = universal ? step.first_cr : npos;
    Block block = build_owned_block(std::move(text), !universal, first_cr, step.dollar);
    block.origin.offset = offset;
    block.origin.number = number;
    return block;
}

}  // namespace molvane::core
