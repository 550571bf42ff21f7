// One molecule block: its exact bytes and a few offsets into them.
//
// Sections of the text (n bytes, terminator line "$$$$\n" or "$$$$\r\n"):
//   title line [0, title_end), CTAB [title_end, mdl_end),
//   SD data [mdl_end, dollar_start), terminator line [dollar_start, n).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/lines.hpp"
#include "core/mapped.hpp"

namespace molvane::core {

class RecordIndex;  // lookup table of a block's records, built on demand

// The block's bytes: an owned buffer, or a range of shared bytes (a file
// mapping, or a reader's buffer handed over whole) that the block reads until
// its first edit copies it.
class BlockText {
  public:
    BlockText() = default;
    explicit BlockText(std::string owned) noexcept : owned_(std::move(owned)) {}
    BlockText(std::shared_ptr<const Mapping> mapping, size_t start, size_t end) noexcept;
    BlockText(std::shared_ptr<const char> bytes, size_t start, size_t end) noexcept
        : shared_(std::move(bytes)), start_(start), end_(end) {}

    std::string_view view() const noexcept {
        return shared_ ? std::string_view(shared_.get() + start_, end_ - start_)
                       : std::string_view(owned_);
    }
    size_t size() const noexcept { return view().size(); }
    bool is_borrowed() const noexcept { return shared_ != nullptr; }

    // The owned buffer, copying borrowed bytes first (with room to grow).
    std::string& owned();

  private:
    std::string owned_;
    std::shared_ptr<const char> shared_;  // the first byte of the shared bytes
    size_t start_ = 0;
    size_t end_ = 0;
};

inline constexpr size_t kUnknownOffset = SIZE_MAX;

// Where a reader found a block, for error messages: its number in the input
// (from 0) and the offset of its first byte, each kUnknownOrigin when not
// known (a block built from one text, or read from lines or text whose offsets
// translation has moved).
inline constexpr uint64_t kUnknownOrigin = UINT64_MAX;
struct BlockOrigin {
    uint64_t number = kUnknownOrigin;
    uint64_t offset = kUnknownOrigin;
};

struct Block {
    BlockText text;
    size_t title_end = 0;
    size_t mdl_end = kUnknownOffset;
    // One share is the block's own; every live buffer export holds another.
    std::shared_ptr<int> export_guard;
    std::shared_ptr<RecordIndex> record_index;
    bool lookup_seen = false;  // a lookup has scanned since the records last changed
    uint8_t edit_scans = 0;    // record edits that scanned many records since then
    uint64_t records_version = 0;
    bool is_bytes = true;
    bool utf8_checked = false;
    BlockOrigin origin;
    // For the piece of only whitespace after the last `$$$$` line (see
    // core/input_ending), built like any piece: the whitespace's length, the
    // text holding it and then the completed terminator. 0 for every other
    // block, and once the block is edited.
    size_t trailing_whitespace = 0;

    std::string_view view() const noexcept { return text.view(); }
    size_t dollar_start() const noexcept;
    bool is_empty_block() const noexcept { return title_end == 0; }

    // Computes mdl_end on first use and caches it.
    size_t locate_mdl_end() noexcept;

    std::string_view title_line() const noexcept { return view().substr(0, title_end); }
    std::string_view title() const noexcept { return rstrip(title_line()); }
    std::string_view molblock() noexcept { return view().substr(0, locate_mdl_end()); }
    std::string_view mdl() noexcept;
    std::string_view sd_data() noexcept;
    std::string_view terminator() const noexcept { return view().substr(dollar_start()); }
    std::string_view line_ending() const noexcept { return title_line_ending(view()); }

    bool is_exported() const noexcept { return export_guard && export_guard.use_count() > 1; }

    // First step of every edit: refuses while the text is exported and drops
    // the lookup caches. Callers check their arguments before calling it.
    void begin_edit();
    // The same for record edits, which keep the record index up to date
    // themselves.
    void begin_record_edit();
    // The owned text to edit in place (after begin_edit).
    std::string& edit_text() { return text.owned(); }

    // Replace the title line; `value` holds the new title's bytes.
    void set_title(std::string_view value);
    // Replace title line and CTAB. A text block's molblock has its "\r\n" and
    // "\r" newlines translated to "\n" first; a bytes block's is kept as given.
    void set_molblock(std::string_view molblock);
};

// Builds an owned block from one block's byte range. `first_cr` (str input
// only) asks for newline translation when below range.size(); `dollar_line`
// is where a line starting with "$$$$" begins in the range, or npos. A
// `split_piece` is one the splitter cut from an input: one of only
// whitespace is then the input's trailing whitespace (see
// Block::trailing_whitespace).
Block build_block(std::string_view range, bool is_bytes, size_t first_cr, size_t dollar_line,
                  bool split_piece = false);
// The same from a copy of the range already made; reserving kBuildSlack
// more bytes lets the completion of a last line happen in place.
inline constexpr size_t kBuildSlack = 8;
Block build_owned_block(std::string text, bool is_bytes, size_t first_cr, size_t dollar_line,
                        bool split_piece = false);

// How a block's range becomes a finished block's text: its first `keep`
// bytes, then `append` (an ending for an unfinished last line, a `$$$$`
// terminator line, or both; at most kBuildSlack bytes). No newline
// translation: the range is taken as it is.
struct BlockCompletion {
    size_t keep = 0;
    char append[kBuildSlack] = {};
    size_t append_size = 0;
    size_t title_end = 0;

    std::string_view appended() const noexcept { return {append, append_size}; }
    size_t size() const noexcept { return keep + append_size; }
};
BlockCompletion complete_block(std::string_view range, size_t dollar_line) noexcept;

// A block over `size` bytes at `start` of shared bytes that already hold its
// finished text (as complete_block() made it), with the title end found then.
Block shared_block(std::shared_ptr<const char> bytes, size_t start, const BlockCompletion& done,
                   bool is_bytes) noexcept;

// One block's text as a block, refusing a second block after the first.
Block block_from_text(std::string_view text, bool is_bytes);

// The M  END line rule over text[from, to): mdl end offset or npos.
size_t find_mdl_end(std::string_view text, size_t from, size_t to) noexcept;

}  // namespace molvane::core
