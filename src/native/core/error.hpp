// Failures raised by the core, each as the kind of thing that went wrong.
// Which exception a kind becomes is the glue's business (python/errors.cpp);
// the core never sees the interpreter.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <utility>

namespace molvane::core {

enum class ErrorKind {
    InvalidText,       // a title, molblock or block text that breaks the block's line rules
    Exported,          // an edit while an export of the block's bytes is alive
    MalformedRecord,   // an SD data header line without a name
    MalformedTable,    // a missing line, field or section, or a field that cannot be read
    UnsupportedTable,  // an operation that the table's format or constructs do not support
    IndexOutOfOrder,   // an index that breaks the run 1, 2, 3, ... of strict validation
    DuplicateIndex,    // an index seen before, or a bond atom that several atoms have
    CountMismatch,     // more or fewer atom or bond lines than the counts line declares
    InvalidUtf8,       // text of a text block that is not UTF-8: a DecodeError
    Internal,          // a broken internal invariant, reported rather than crashing
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

// Text that strict UTF-8 decoding refuses: the whole text and the invalid
// range [start, end) within it, as the decoder reports them.
class DecodeError : public Error {
  public:
    DecodeError(std::string bytes, size_t start, size_t end)
        : Error(ErrorKind::InvalidUtf8, "invalid utf-8"),
          bytes_(std::move(bytes)),
          start_(start),
          end_(end) {}
    const std::string& bytes() const noexcept { return bytes_; }
    size_t start() const noexcept { return start_; }
    size_t end() const noexcept { return end_; }

  private:
    std::string bytes_;
    size_t start_;
    size_t end_;
};

[[noreturn]] inline void fail(ErrorKind kind, std::string message) {
    throw Error(kind, std::move(message));
}

// Checks an internal invariant; a failure raises rather than reading out of bounds.
inline void expect(bool condition, const char* what) {
    if (!condition) fail(ErrorKind::Internal, std::string("internal error: ") + what);
}

}  // namespace molvane::core
