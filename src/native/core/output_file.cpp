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

namespace molvane::core {

namespace {

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_CLOEXEC;
constexpr int kAttempts = 16;

IoOutcome system_error(int error_number) noexcept {
    return {IoOutcome::Status::Errno, error_number};
}

IoOutcome interrupted() noexcept {
    return {IoOutcome::Status::Interrupted, 0};
}

// A name that no other writer picks: the process, a counter and the clock.
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
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            std::string name = temporary_name(target);
            const int fd = ::open(name.c_str(), kCreateFlags | O_EXCL, 0666);
            if (fd < 0) {
                if (errno == EEXIST || errno == EINTR) continue;
                // A directory we cannot create files in may still hold a
                // file we can write: write that one in place, as before.
                if (errno == EACCES || errno == EPERM || errno == EROFS) return open_direct(path);
                return system_error(errno);
            }
            if (exists) {
                // Best effort: keep the target's mode and owner.
                (void)fchmod(fd, status.st_mode & 07777);
                (void)fchown(fd, status.st_uid, status.st_gid);
            }
            fd_ = fd;
            temporary_ = std::move(name);
            target_ = std::move(target);
            return {};
        }
        return system_error(EEXIST);
    } catch (...) {
        return system_error(ENOMEM);
    }
}

IoOutcome OutputFile::write_some(std::string_view chunk, size_t& written) noexcept {
    while (written < chunk.size()) {
        const size_t left = chunk.size() - written;
        const ssize_t count = ::write(fd_, chunk.data() + written, std::min(left, kMaxWriteCall));
        if (count < 0) return errno == EINTR ? interrupted() : system_error(errno);
        if (count == 0) return {IoOutcome::Status::WriteZero, 0};
        written += static_cast<size_t>(count);
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
    // A failed close can mean lost data (a full disk on some file systems):
    // then the target must not be replaced.
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) {
        const int error = errno;
        discard();
        return system_error(error);
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        const int error = errno;
        discard();
        return system_error(error);
    }
    temporary_.clear();
    target_.clear();
    return {};
}

void OutputFile::discard() noexcept {
    close_descriptor();
    if (!temporary_.empty()) {
        (void)::unlink(temporary_.c_str());
        temporary_.clear();
        target_.clear();
    }
}

}  // namespace molvane::core
