// Block splitting on any input: the chunk splitter fed in random pieces, and
// the batch splitter by the LF and the universal rule, must cut exactly where
// a plain line-by-line reference does, with the same `$$$$` line starts,
// first CR positions and borrowable flags.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/split.hpp"

namespace {

using molvane::core::npos;

struct Cut {
    std::string text;
    size_t dollar;    // relative to the block, npos when none
    size_t first_cr;  // relative; the block's size when none
    bool operator==(const Cut&) const = default;
};

size_t first_cr_of(const std::string& text) {
    size_t cr = text.find('\r');
    return cr == std::string::npos ? text.size() : cr;
}

std::vector<Cut> reference(const std::string& data, bool universal) {
    std::vector<Cut> cuts;
    size_t block = 0;
    for (size_t pos = 0; pos < data.size();) {
        size_t end = pos;
        while (end < data.size()) {
            char c = data[end++];
            if (c == '\n') break;
            if (universal && c == '\r') {
                if (end < data.size() && data[end] == '\n') ++end;
                break;
            }
        }
        if (data.compare(pos, 4, "$$$$") == 0 && end - pos >= 4) {
            std::string text = data.substr(block, end - block);
            cuts.push_back({text, pos - block, first_cr_of(text)});
            block = end;
        }
        pos = end;
    }
    if (block < data.size()) {
        std::string text = data.substr(block);
        cuts.push_back({text, npos, first_cr_of(text)});
    }
    return cuts;
}

bool finished(const Cut& cut, bool check_cr) {
    if (cut.dollar == npos || (check_cr && cut.first_cr != cut.text.size())) return false;
    size_t title_end = cut.dollar == 0 ? 0 : cut.text.find('\n') + 1;
    std::string tail = cut.text.substr(std::max(cut.dollar, title_end));
    return tail == "$$$$\n" || tail == "$$$$\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1) return 0;
    unsigned seed = bytes[0];
    const std::string data(reinterpret_cast<const char*>(bytes) + 1, size - 1);

    std::vector<Cut> lf = reference(data, false);
    std::vector<Cut> chunked;
    molvane::core::ChunkSplitter splitter;
    for (size_t pos = 0;;) {
        molvane::core::ChunkSplitter::Block block;
        auto status = splitter.next(block);
        if (status == molvane::core::ChunkSplitter::Status::End) break;
        if (status == molvane::core::ChunkSplitter::Status::Block) {
            std::string text(block.data, block.size);
            chunked.push_back({text, block.dollar, first_cr_of(text)});
        } else if (pos == data.size()) {
            splitter.finish_input();
        } else {
            seed = seed * 1103515245u + 12345u;
            size_t len = std::min<size_t>((seed >> 16) % 23, data.size() - pos);
            char* space = splitter.append_space(len + (seed >> 8) % 3);
            if (len) std::memcpy(space, data.data() + pos, len);
            splitter.commit(len);
            pos += len;
        }
    }
    if (chunked != lf) std::abort();

    for (bool universal : {false, true}) {
        std::vector<Cut> expected = universal ? reference(data, true) : lf;
        molvane::core::BatchSplitter batches(data.data(), data.size(), universal, true, false);
        size_t index = 0, previous_end = 0;
        while (!batches.exhausted()) {
            if (!batches.has_ready()) batches.split_batch();
            molvane::core::BlockSpan span = batches.pop();
            if (index >= expected.size() || span.begin != previous_end) std::abort();
            const Cut& cut = expected[index++];
            std::string text = data.substr(span.begin, span.end - span.begin);
            size_t dollar = span.dollar == npos ? npos : span.dollar - span.begin;
            size_t first_cr = universal ? span.first_cr - span.begin : cut.first_cr;
            if (!(Cut{text, dollar, first_cr} == cut)) std::abort();
            if (span.borrowable != finished(cut, universal)) std::abort();
            previous_end = span.end;
        }
        if (index != expected.size()) std::abort();
    }
    return 0;
}
