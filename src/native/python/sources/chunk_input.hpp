// What every chunk source reads into: the reader's splitter, with what the
// reader knows of the text so far (its kind, whether block offsets are the
// input's own byte offsets), and the steps all sources share to add to it.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/io_outcome.hpp"
#include "core/split.hpp"
#include "core/text_kind.hpp"
#include "python/errors.hpp"
#include "python/without_gil.hpp"

namespace molvane::py {

inline core::TextKind kind_of(PyObject* value) {
    return PyBytes_Check(value) ? core::TextKind::Bytes : core::TextKind::Text;
}

// Makes a blocking system call without the lock and makes it again when a
// signal cut it short, once the signal handlers ran: their exception
// (KeyboardInterrupt during a FIFO read, say) propagates.
template <class Call>
core::IoOutcome blocking_call(Call&& call) {
    for (;;) {
        const core::IoOutcome outcome = without_gil(call);
        if (outcome.status != core::IoOutcome::Status::Interrupted) return outcome;
        check_signals();
    }
}

class ChunkInput {
  public:
    core::ChunkSplitter splitter;
    core::TextKind kind = core::TextKind::Undecided;
    // Whether the offsets of split blocks are the input's own byte offsets.
    bool offsets_exact = true;

    // Room for one read of `size` bytes after the held ones.
    char* read_space(std::size_t size = core::kReadUnit) {
        return splitter.append_space(size + 16);
    }
    // The one step after every read into read_space(): text has its
    // newlines translated, then the bytes are committed. `let_go` releases
    // the lock meanwhile even with nothing to translate, for a thread that
    // decompresses ahead and needs it between its steps.
    void commit_read(char* space, std::size_t got, bool let_go);
    // Fixes the kind at a read's kind; `mixed_message` is the TypeError of
    // a read whose kind differs from the earlier ones.
    void set_kind(core::TextKind read_kind, const char* mixed_message);
    // Frees the buffer and forgets a CR held across reads.
    void reset() noexcept;

  private:
    bool cr_carry_ = false;  // newline translation across reads of text
};

}  // namespace molvane::py
