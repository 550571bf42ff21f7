// The result of a file call: errno-style values rather than exceptions, so
// that the caller may make the call without the interpreter lock and turn a
// failure into an exception afterwards.
#pragma once

#include <string_view>

namespace molvane::core {

struct IoOutcome {
    enum class Status {
        Ok,
        Errno,        // a system call failed: error_number holds its errno
        Interrupted,  // a signal interrupted the call: run the handlers, then call again
        NulInPath,    // the path cannot be passed to the system
        WriteZero,    // a write call accepted nothing
        NoTemporary,  // no temporary file could be made beside the target (errno in error_number)
    };
    Status status = Status::Ok;
    int error_number = 0;

    bool ok() const noexcept { return status == Status::Ok; }
};

// NulInPath for a path with a NUL byte, which the system would take as the
// end of a shorter path; Ok otherwise.
constexpr IoOutcome check_path(std::string_view path) noexcept {
    if (path.find('\0') != std::string_view::npos) return {IoOutcome::Status::NulInPath, 0};
    return {};
}

}  // namespace molvane::core
