#include "core/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "core/retry.hpp"

namespace molvane::core {

namespace {

// A pipe holds 64 KiB by default, so a fast writer and this reader take
// turns a chunk at a time; room for a few reads lets both run at once. Only
// a hint: the system's limit for unprivileged users may refuse it.
void widen_pipe(int fd) noexcept {
#ifdef F_SETPIPE_SZ
    constexpr int kPipeRoom = 1 << 20;
    if (::fcntl(fd, F_GETPIPE_SZ) < kPipeRoom) (void)::fcntl(fd, F_SETPIPE_SZ, kPipeRoom);
#else
    (void)fd;
#endif
}

}  // namespace

IoOutcome InputFile::open(const std::string& path) noexcept {
    if (IoOutcome checked = check_path(path); !checked.ok()) return checked;
    close();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EINTR) return {IoOutcome::Status::Interrupted, EINTR};
        return {IoOutcome::Status::Errno, errno};
    }
    compression_ = Compression::None;
    unread_format_ = {};
    size_ = kUnknownSize;
    size_understated_ = false;
    struct stat status {};
    const bool stated = ::fstat(fd, &status) == 0;
    directory_ = stated && S_ISDIR(status.st_mode);
    is_pipe_ = stated && S_ISFIFO(status.st_mode);
    read_before_ = false;
    if (is_pipe_) widen_pipe(fd);
    if (stated && S_ISREG(status.st_mode)) {
        size_ = static_cast<uint64_t>(status.st_size);
        char head[kCompressionMagicLength];
        const ssize_t got = retry_on_eintr([&] { return ::pread(fd, head, sizeof head, 0); });
        const std::string_view start(head, got > 0 ? static_cast<size_t>(got) : 0);
        size_understated_ = size_ == 0 && !start.empty();
        compression_ = sniff_compression(start);
        unread_format_ = core::unread_format(start);
        if (compression_ != Compression::None || !unread_format_.empty()) {
            fd_ = fd;
            return {};
        }
    }
    mapping_ = map_if_local(fd);
    if (mapping_) {
        (void)::close(fd);
    } else {
        fd_ = fd;
    }
    return {};
}

FileFault InputFile::random_access_refusal() const noexcept {
    // A directory fails as its first read would, and as open() fails on one
    // in Python: IsADirectoryError, not a refusal of a special file.
    if (directory_) return FileFault::of(IoOutcome{IoOutcome::Status::Errno, EISDIR});
    FileFault fault;
    fault.compression = compression_;
    fault.format = unread_format_;
    if (compression_ != Compression::None)
        fault.kind = FileFault::Kind::Compressed;
    else if (size_ == kUnknownSize)
        fault.kind = FileFault::Kind::NotRegular;
    else if (size_understated_)
        fault.kind = FileFault::Kind::SizeUnknown;
    else if (size_ != 0 && !mapping_)
        fault.kind = FileFault::Kind::Unmappable;
    return fault;
}

IoOutcome InputFile::read_some(char* buf, size_t len, size_t& got) noexcept {
    got = 0;
    if (is_pipe_ && read_before_) {
        if (!ahead_) {
            ahead_ = std::unique_ptr<PipeReadAhead>(new (std::nothrow) PipeReadAhead());
            if (ahead_ && !ahead_->start(fd_)) ahead_.reset();
            if (!ahead_) is_pipe_ = false;  // read it directly, as any file
        }
        if (ahead_) return ahead_->read_some(buf, len, got);
    }
    read_before_ = true;
    const ssize_t count = ::read(fd_, buf, len);
    if (count < 0) {
        if (errno == EINTR) return {IoOutcome::Status::Interrupted, EINTR};
        return {IoOutcome::Status::Errno, errno};
    }
    got = static_cast<size_t>(count);
    return {};
}

uint64_t InputFile::regular_file_size(const std::string& path) noexcept {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return kUnknownSize;
    return static_cast<uint64_t>(status.st_size);
}

void InputFile::close() noexcept {
    mapping_.reset();
    ahead_.reset();  // its thread reads fd_: it ends first
    if (fd_ < 0) return;
    (void)::close(fd_);
    fd_ = -1;
}

}  // namespace molvane::core
