// Why a file cannot serve a read at any offset, an index or a BGZF walk: one
// vocabulary for the random-access, index and BGZF code, returned rather
// than thrown so that the calls run without the interpreter lock. A fault
// carries what its message needs (the failed call's errno, the compression,
// the archive's name, the offset), so nothing is opened again to learn why.
// Which exception each kind becomes is the glue's business, in one place
// (python/errors.cpp).
#pragma once

#include <cstdint>
#include <string_view>

#include "core/compression.hpp"
#include "core/io_outcome.hpp"

namespace molvane::core {

struct FileFault {
    enum class Kind : uint8_t {
        None,
        Io,            // a file call failed: `io` holds how, with its errno
        NotRegular,    // a pipe, socket or device: no offsets to seek to
        Compressed,    // a compressed file: `compression` names it
        Archive,       // an archive or a format not read: `format` names it
        SizeUnknown,   // a regular file that reports 0 bytes yet holds some (a /proc file)
        Unmappable,    // on a file system that cannot be mapped (network, FUSE)
        Changed,       // size or modification time differ from the indexed ones
        Shrank,        // shorter than its mapping while `step` went on
        Misfit,        // an adopted index ends before the file, and text follows
        NotAnIndex,    // saved index bytes without the magic
        IndexVersion,  // a saved index of another format version
        IndexDamaged,  // a saved index whose numbers do not hold together
        NotBgzf,       // a member header at `offset` that is not BGZF
        Cut,           // a BGZF member at `offset` that runs past the end
    };
    // What was under way when a mapped file shrank.
    enum class Step : uint8_t { Read, Index, Cut };

    Kind kind = Kind::None;
    IoOutcome io{};
    Compression compression = Compression::None;
    std::string_view format{};  // static text ("zip archive")
    Step step = Step::Read;
    uint64_t offset = 0;

    bool ok() const noexcept { return kind == Kind::None; }

    static constexpr FileFault of(Kind kind) noexcept { return {kind}; }
    // None for an outcome that is Ok, Io otherwise.
    static constexpr FileFault of(IoOutcome outcome) noexcept {
        return outcome.status == IoOutcome::Status::Ok ? FileFault{} : FileFault{Kind::Io, outcome};
    }
    static constexpr FileFault shrank(Step step) noexcept {
        FileFault fault{Kind::Shrank};
        fault.step = step;
        return fault;
    }
    static constexpr FileFault at(Kind kind, uint64_t offset) noexcept {
        FileFault fault{kind};
        fault.offset = offset;
        return fault;
    }
};

}  // namespace molvane::core
