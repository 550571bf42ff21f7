#include "core/random_access_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/retry.hpp"

namespace molvane::core {

namespace {

FileStamp stamp_of(const struct stat& status) noexcept {
    return {static_cast<uint64_t>(status.st_size),
            static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                static_cast<int64_t>(status.st_mtim.tv_nsec)};
}

IoOutcome from_errno() noexcept {
    if (errno == EINTR) return {IoOutcome::Status::Interrupted, EINTR};
    return {IoOutcome::Status::Errno, errno};
}

}  // namespace

IoOutcome RandomAccessFile::open(const std::string& path) noexcept {
    if (IoOutcome checked = check_path(path); !checked.ok()) return checked;
    close();
    refusal_ = {};
    // A FIFO, socket or device is refused by its status alone, never opened:
    // opening a FIFO would let a waiting writer start writing, and closing
    // it again would break that writer's pipe and lose what it wrote.
    struct stat named {};
    if (::stat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode) && !S_ISDIR(named.st_mode)) {
        refusal_.kind = FileFault::Kind::NotRegular;
        return {};
    }
    // O_NONBLOCK: should the path become a FIFO after the check above, the
    // open does not wait for a writer; it changes nothing for a regular file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return from_errno();
    fd_ = fd;
    struct stat status {};
    if (::fstat(fd, &status) != 0) return from_errno();
    // A directory fails as open() fails on one in Python: IsADirectoryError.
    if (S_ISDIR(status.st_mode)) return {IoOutcome::Status::Errno, EISDIR};
    if (!S_ISREG(status.st_mode)) {
        refusal_.kind = FileFault::Kind::NotRegular;
        return {};
    }
    stamp_ = stamp_of(status);
    char head[kCompressionMagicLength];
    const ssize_t got = retry_on_eintr([&] { return ::pread(fd, head, sizeof head, 0); });
    if (got < 0) return from_errno();
    const std::string_view start(head, static_cast<size_t>(got));
    refusal_.compression = sniff_compression(start);
    refusal_.format = core::unread_format(start);
    if (stamp_.size == 0 && got > 0)
        refusal_.kind = FileFault::Kind::SizeUnknown;
    else if (refusal_.compression != Compression::None)
        refusal_.kind = FileFault::Kind::Compressed;
    else if (!refusal_.format.empty())
        refusal_.kind = FileFault::Kind::Archive;
    return {};
}

void RandomAccessFile::close() noexcept {
    if (fd_ < 0) return;
    (void)::close(fd_);
    fd_ = -1;
}

IoOutcome RandomAccessFile::current_stamp(FileStamp& stamp) const noexcept {
    struct stat status {};
    if (::fstat(fd_, &status) != 0) return {IoOutcome::Status::Errno, errno};
    stamp = stamp_of(status);
    return {};
}

std::shared_ptr<const Mapping> RandomAccessFile::map() const noexcept {
    return map_if_local(fd_);
}

IoOutcome RandomAccessFile::read_at(uint64_t begin, char* buf, size_t len) const noexcept {
    size_t done = 0;
    while (done < len) {
        const ssize_t got = ::pread(fd_, buf + done, len - done, static_cast<off_t>(begin + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return {IoOutcome::Status::Errno, errno};
        }
        if (got == 0) return {IoOutcome::Status::Errno, EIO};
        done += static_cast<size_t>(got);
    }
    return {};
}

}  // namespace molvane::core
