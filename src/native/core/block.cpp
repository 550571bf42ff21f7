#include "core/block.hpp"

#include <algorithm>
#include <cstring>

#include "core/dollar_line.hpp"
#include "core/error.hpp"
#include "core/input_ending.hpp"
#include "core/newline.hpp"

namespace molvane::core {

namespace {

constexpr std::string_view kMEnd = "M  END";

}  // namespace

BlockText::BlockText(std::shared_ptr<const Mapping> mapping, size_t start, size_t end) noexcept
    : start_(start), end_(end) {
    // Shares ownership of the mapping, pointing at its first byte.
    const char* first = mapping->data();
    shared_ = std::shared_ptr<const char>(std::move(mapping), first);
}

std::string& BlockText::owned() {
    if (shared_) {
        std::string_view bytes = view();
        std::string copy;
        copy.reserve(bytes.size() + 256);
        copy.assign(bytes);
        owned_ = std::move(copy);
        shared_.reset();
        start_ = end_ = 0;
    }
    return owned_;
}

size_t Block::dollar_start() const noexcept {
    std::string_view whole = view();
    return whole.size() - terminator_of(whole).size();
}

size_t find_mdl_end(std::string_view text, size_t from, size_t to) noexcept {
    std::string_view range = text.substr(0, to);
    // The first line at or after `from` that starts with "M  END". Such a
    // line is found by its 'E', a byte that connection tables seldom hold,
    // which memchr finds far faster than memmem finds the whole pattern.
    constexpr size_t kE = 3;  // where the 'E' of "M  END" lies
    static_assert(kMEnd[kE] == 'E');
    for (size_t hit = find_byte(range, from + kE, 'E'); hit != npos;
         hit = find_byte(range, hit + 1, 'E')) {
        const size_t line_start = hit - kE;
        if (range.compare(line_start, kMEnd.size(), kMEnd) != 0) continue;
        if (line_start == from || range[line_start - 1] == '\n') return next_line(text, line_start);
    }
    return npos;
}

size_t Block::locate_mdl_end() noexcept {
    if (mdl_end == kUnknownOffset) {
        size_t end = dollar_start();
        size_t found = find_mdl_end(view(), title_end, end);
        mdl_end = found == npos ? end : found;
    }
    return mdl_end;
}

std::string_view Block::mdl() noexcept {
    size_t end = locate_mdl_end();
    return view().substr(title_end, end - title_end);
}

std::string_view Block::sd_data() noexcept {
    size_t start = locate_mdl_end();
    return view().substr(start, dollar_start() - start);
}

void Block::begin_edit() {
    if (is_exported())
        fail(ErrorKind::Exported, "Existing exports of data: SDBlock cannot be edited");
    record_index.reset();
    lookup_seen = false;
    edit_scans = 0;
    trailing_whitespace = 0;
}

void Block::begin_record_edit() {
    if (is_exported())
        fail(ErrorKind::Exported, "Existing exports of data: SDBlock cannot be edited");
    trailing_whitespace = 0;
}

void Block::set_title(std::string_view value) {
    begin_edit();
    if (value.find_first_of("\r\n") != std::string_view::npos)
        fail(ErrorKind::InvalidText, "SDBlock titles must be a single line");
    if (starts_with_dollars(value))
        fail(ErrorKind::InvalidText,
             "SDBlock titles cannot start with $$$$, which would end the block");
    std::string_view ending = is_empty_block() ? (terminator().ends_with(kCRLF) ? kCRLF : kLF)
                                               : (title_line().ends_with(kCRLF) ? kCRLF : kLF);
    std::string line;
    line.reserve(value.size() + ending.size());
    line.append(value).append(ending);
    edit_text().replace(0, title_end, line);
    if (mdl_end != kUnknownOffset) mdl_end = mdl_end - title_end + line.size();
    title_end = line.size();
}

void Block::set_molblock(std::string_view molblock) {
    std::string translated;
    if (!is_bytes) molblock = translated_view(molblock, translated);
    begin_edit();
    size_t first_lf = find_byte(molblock, 0, '\n');
    size_t new_title_end = first_lf == npos ? molblock.size() : first_lf + 1;
    size_t end = find_mdl_end(molblock, new_title_end, molblock.size());
    if (end == npos) fail(ErrorKind::InvalidText, "molblock has no M  END line");
    if (!is_all_tail_space(molblock.substr(end)))
        fail(ErrorKind::InvalidText, "molblock has data after its M  END line");
    for (size_t pos = 0; pos < end;) {
        size_t line_end = next_line(molblock, pos);
        std::string_view line = molblock.substr(pos, line_end - pos);
        if (line.ends_with('\n')) line.remove_suffix(1);
        if (starts_with_dollars(line))
            fail(ErrorKind::InvalidText, "molblock has a $$$$ line, which would end the block");
        pos = line_end;
    }
    std::string_view head = molblock.substr(0, end);
    std::string_view completion =
        head.ends_with('\n') ? std::string_view() : completion_ending(head);
    size_t old_mdl_end = locate_mdl_end();
    std::string_view tail = view().substr(old_mdl_end);
    std::string rebuilt;
    rebuilt.reserve(head.size() + completion.size() + tail.size() + 256);
    rebuilt.append(head).append(completion).append(tail);
    edit_text() = std::move(rebuilt);
    title_end = new_title_end;
    mdl_end = head.size() + completion.size();
}

Block build_block(std::string_view range, bool is_bytes, size_t first_cr, size_t dollar_line,
                  bool split_piece) {
    std::string text;
    text.reserve(range.size() + kBuildSlack);
    text.assign(range);
    return build_owned_block(std::move(text), is_bytes, first_cr, dollar_line, split_piece);
}

Block build_owned_block(std::string text, bool is_bytes, size_t first_cr, size_t dollar_line,
                        bool split_piece) {
    Block block;
    block.is_bytes = is_bytes;
    if (!is_bytes && first_cr < text.size()) {
        bool cr_carry = false;
        const size_t tail =
            translate_newlines(text.data() + first_cr, text.size() - first_cr, cr_carry);
        text.resize(first_cr + tail);
        if (dollar_line != npos) {
            // Translation moved the `$$$$` line: it is the copy's last line.
            size_t last_lf = text.size() >= 2 ? text.rfind('\n', text.size() - 2) : npos;
            dollar_line = last_lf == npos ? 0 : last_lf + 1;
        }
    }
    if (split_piece && dollar_line == npos && is_blank_tail(text))
        block.trailing_whitespace = text.size();
    const BlockCompletion done = complete_block(text, dollar_line);
    text.resize(done.keep);
    text.append(done.appended());
    block.title_end = done.title_end;
    block.text = BlockText(std::move(text));
    return block;
}

BlockCompletion complete_block(std::string_view range, size_t dollar_line) noexcept {
    // The range completed with an ending when its last line has none; the
    // terminator check and the title end look at that completed text.
    const std::string_view ending =
        range.ends_with('\n') ? std::string_view() : completion_ending(range);
    const size_t completed = range.size() + ending.size();
    const size_t first_lf = find_byte(range, 0, '\n');
    const size_t title_end = dollar_line == 0 ? 0 : (first_lf == npos ? completed : first_lf + 1);
    const size_t dollar_start = dollar_line == npos ? completed : std::max(dollar_line, title_end);

    BlockCompletion done;
    done.title_end = title_end;
    auto add = [&done](std::string_view bytes) noexcept {
        std::copy(bytes.begin(), bytes.end(), done.append + done.append_size);
        done.append_size += bytes.size();
    };
    // The completed text from dollar_start on (the range's bytes there, then
    // the ending) is its terminator line when it reads exactly "$$$$\n" or
    // "$$$$\r\n".
    const std::string_view own = range.substr(std::min(dollar_start, range.size()));
    auto reads = [&](std::string_view line) noexcept {
        return own.size() + ending.size() == line.size() && line.starts_with(own) &&
               line.substr(own.size()) == ending;
    };
    const bool terminated = reads(kTerminatorLF) || reads(kTerminatorCRLF);
    if (terminated) {
        done.keep = range.size();
        add(ending);
        return done;
    }
    // The ending of the completed title line decides the terminator's.
    std::string_view title_ending;
    if (first_lf != npos) {
        title_ending = title_line_ending(range);
    } else {
        const bool cr_before_lf = ending == kCRLF || (ending == kLF && range.ends_with('\r'));
        title_ending = cr_before_lf ? kCRLF : kLF;
    }
    if (dollar_start <= range.size()) {
        done.keep = dollar_start;
    } else {
        done.keep = range.size();
        add(ending);
    }
    add(terminator_for(title_ending));
    return done;
}

Block shared_block(std::shared_ptr<const char> bytes, size_t start, const BlockCompletion& done,
                   bool is_bytes) noexcept {
    Block block;
    block.is_bytes = is_bytes;
    block.title_end = done.title_end;
    block.text = BlockText(std::move(bytes), start, start + done.size());
    return block;
}

Block block_from_text(std::string_view text, bool is_bytes) {
    std::string translated;
    if (!is_bytes) text = translated_view(text, translated);
    size_t dollar_line = find_dollar_line(text);
    if (dollar_line != npos) {
        size_t line_end = next_line(text, dollar_line);
        if (!is_all_tail_space(text.substr(line_end)))
            fail(ErrorKind::InvalidText,
                 "SDBlock() takes one block; use SDBlock.from_sdf to parse several");
        text = text.substr(0, line_end);
    }
    Block block = build_block(text, is_bytes, npos, dollar_line);
    block.utf8_checked = true;
    return block;
}

}  // namespace molvane::core
