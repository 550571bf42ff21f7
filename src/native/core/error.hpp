// Failures raised by the core. The Python glue turns each kind into its
// exception class at the boundary; the core itself never sees the interpreter.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace molvane::core {

enum class ErrorKind {
    Type,             // TypeError
    Value,            // ValueError
    Buffer,           // BufferError
    Runtime,          // RuntimeError
    NotImplemented,   // NotImplementedError
    MalformedRecord,  // molvane.MalformedRecordError
    Internal,         // a broken internal invariant: SystemError, never a crash
};

class Error : public std::exception {
  public:
    Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    ErrorKind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    ErrorKind kind_;
    std::string message_;
};

[[noreturn]] inline void fail(ErrorKind kind, std::string message) {
    throw Error(kind, std::move(message));
}

// Checks an internal invariant; a failure raises rather than reading out of bounds.
inline void expect(bool condition, const char* what) {
    if (!condition) fail(ErrorKind::Internal, std::string("internal error: ") + what);
}

}  // namespace molvane::core
