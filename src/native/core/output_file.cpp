#include "core/output_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/retry.hpp"

namespace molvane::core {

namespace {

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_CLOEXEC;
constexpr int kAttempts = 16;
// Writeback of a temporary is started every this many bytes: large enough
// to cost one call per several chunks, small enough that the final fsync
// waits for little.
constexpr size_t kWritebackStep = 8u << 20;

IoOutcome system_error(int error_number) noexcept {
    return {IoOutcome::Status::Errno, error_number};
}

IoOutcome interrupted() noexcept {
    return {IoOutcome::Status::Interrupted, 0};
}

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A name that no other writer picks: the process, a counter and the clock.
// The pattern (.NAME.PID.N.HEX.tmp beside NAME) is documented in the
// writing guide, for finding what a killed writer left behind.
std::string temporary_name(const std::string& target) {
    static std::atomic<unsigned long> counter{0};
    const size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    // Cut a long name, so that ours stays within the file system's limit.
    const std::string base =
        (slash == std::string::npos ? target : target.substr(slash + 1)).substr(0, 160);
    const auto ticks = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    char tag[64];
    std::snprintf(tag, sizeof tag, ".%ld.%lu.%llx.tmp", static_cast<long>(getpid()),
                  counter.fetch_add(1), ticks & 0xffffffffULL);
    return directory + "." + base + tag;
}

// Where a write of `path` should really go: the target of a symlink chain,
// or nothing when the path should be opened as it is.
bool resolve_regular_target(const std::string& path, std::string& target, struct stat& status,
                            bool& exists) noexcept {
    if (stat(path.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) return false;
        char resolved[PATH_MAX];
        if (!realpath(path.c_str(), resolved)) return false;
        target = resolved;
        exists = true;
        return true;
    }
    if (errno != ENOENT) return false;  // the direct open reports it
    struct stat link;
    if (lstat(path.c_str(), &link) == 0) return false;  // a dangling symlink
    target = path;
    exists = false;
    return true;
}

// Whether the process may open `target` for writing, answered by opening it
// so (without truncating): the kernel applies every rule (mode, ACLs,
// capabilities, a read-only mount, a running executable). Ok or its errno.
IoOutcome check_writable(const std::string& target) noexcept {
    const int fd = retry_on_eintr(
        [&] { return ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) return system_error(errno);
    (void)::close(fd);
    return {};
}

// Gives the temporary the target's owner and group where the process may
// (root, or a group it belongs to), then its mode: after the chown, which
// clears set-id bits.
void copy_ownership_and_mode(int fd, const struct stat& target) noexcept {
    struct stat own;
    if (fstat(fd, &own) == 0 && (own.st_uid != target.st_uid || own.st_gid != target.st_gid)) {
        if (fchown(fd, target.st_uid, target.st_gid) != 0)
            (void)fchown(fd, static_cast<uid_t>(-1), target.st_gid);
    }
    (void)retry_on_eintr([&] { return fchmod(fd, target.st_mode & 07777); });
}

// Syncs the directory entry of a rename. File systems that cannot sync a
// directory say EINVAL; that is no failure of the write.
IoOutcome sync_directory(const std::string& directory) noexcept {
    const int fd = retry_on_eintr(
        [&] { return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return errno == EACCES ? IoOutcome{} : system_error(errno);
    const int result = retry_on_eintr([&] { return ::fsync(fd); });
    const int error = errno;
    (void)::close(fd);
    if (result != 0 && error != EINVAL && error != ENOTSUP) return system_error(error);
    return {};
}

}  // namespace

IoOutcome OutputFile::open_direct(const std::string& path) noexcept {
    const int fd = ::open(path.c_str(), kCreateFlags | O_TRUNC, 0666);
    if (fd < 0) return errno == EINTR ? interrupted() : system_error(errno);
    fd_ = fd;
    return {};
}

IoOutcome OutputFile::open(const std::string& path) noexcept {
    if (IoOutcome checked = check_path(path); !checked.ok()) return checked;
    discard();
    struct stat status;
    bool exists = false;
    std::string target;
    try {
        if (!resolve_regular_target(path, target, status, exists)) return open_direct(path);
        if (exists) {
            if (IoOutcome writable = check_writable(target); !writable.ok()) return writable;
        }
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            std::string name = temporary_name(target);
            const int fd =
                retry_on_eintr([&] { return ::open(name.c_str(), kCreateFlags | O_EXCL, 0666); });
            if (fd < 0) {
                if (errno == EEXIST) continue;
                // Writing the target in place instead would lose it to any
                // failure halfway: refuse.
                if (exists) return {IoOutcome::Status::NoTemporary, errno};
                return system_error(errno);
            }
            if (exists) copy_ownership_and_mode(fd, status);
            fd_ = fd;
            temporary_ = std::move(name);
            target_ = std::move(target);
            written_back_ = 0;
            unsynced_ = 0;
            return {};
        }
        return {IoOutcome::Status::NoTemporary, EEXIST};
    } catch (...) {
        return system_error(ENOMEM);
    }
}

void OutputFile::start_writeback(size_t count) noexcept {
#ifdef SYNC_FILE_RANGE_WRITE
    if (!durable_ || temporary_.empty()) return;
    unsynced_ += count;
    if (unsynced_ < kWritebackStep) return;
    // Only a hint: a failure shows again in the fsync that commit() checks.
    (void)sync_file_range(fd_, written_back_, static_cast<off_t>(unsynced_), SYNC_FILE_RANGE_WRITE);
    written_back_ += static_cast<off_t>(unsynced_);
    unsynced_ = 0;
#else
    (void)count;
#endif
}

IoOutcome OutputFile::write_some(std::string_view chunk, size_t& written) noexcept {
    while (written < chunk.size()) {
        const size_t left = chunk.size() - written;
        const ssize_t count = ::write(fd_, chunk.data() + written, std::min(left, kMaxWriteCall));
        if (count < 0) return errno == EINTR ? interrupted() : system_error(errno);
        if (count == 0) return {IoOutcome::Status::WriteZero, 0};
        written += static_cast<size_t>(count);
        start_writeback(static_cast<size_t>(count));
        // A short write is what a signal leaves behind on a pipe or FIFO.
        if (static_cast<size_t>(count) < std::min(left, kMaxWriteCall)) return interrupted();
    }
    return {};
}

void OutputFile::close_descriptor() noexcept {
    if (fd_ < 0) return;
    // After close the descriptor is gone even when close reports an error
    // (EINTR included), so it is never retried.
    (void)::close(fd_);
    fd_ = -1;
}

IoOutcome OutputFile::commit() noexcept {
    if (fd_ < 0) return {};
    if (temporary_.empty()) {
        close_descriptor();
        return {};
    }
    // Every byte reaches the device before the name points at it, so that a
    // power loss leaves the old file or the whole new one.
    if (durable_ && retry_on_eintr([&] { return ::fsync(fd_); }) != 0) {
        const int error = errno;
        discard();
        return system_error(error);
    }
    // A failed close can mean lost data (a full disk on some file systems):
    // then the target must not be replaced.
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) {
        const int error = errno;
        discard();
        return system_error(error);
    }
    if (retry_on_eintr([&] { return ::rename(temporary_.c_str(), target_.c_str()); }) != 0) {
        const int error = errno;
        discard();
        return system_error(error);
    }
    temporary_.clear();
    IoOutcome synced{};
    if (durable_) {
        try {
            synced = sync_directory(directory_of(target_));
        } catch (...) {
            synced = system_error(ENOMEM);
        }
    }
    target_.clear();
    return synced;
}

void OutputFile::discard() noexcept {
    close_descriptor();
    if (!temporary_.empty()) {
        (void)retry_on_eintr([&] { return ::unlink(temporary_.c_str()); });
        temporary_.clear();
        target_.clear();
    }
}

}  // namespace molvane::core
