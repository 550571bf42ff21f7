#include "core/output_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace molvane::core {

IoOutcome OutputFile::open(const std::string& path) noexcept {
    if (IoOutcome checked = check_path(path); !checked.ok()) return checked;
    close();
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return {IoOutcome::Status::Errno, errno};
    fd_ = fd;
    return {};
}

IoOutcome OutputFile::write_all(std::string_view chunk) noexcept {
    const char* data = chunk.data();
    size_t left = chunk.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, data, std::min(left, kMaxWriteCall));
        if (written < 0) {
            if (errno == EINTR) continue;
            return {IoOutcome::Status::Errno, errno};
        }
        if (written == 0) return {IoOutcome::Status::WriteZero, 0};
        data += written;
        left -= static_cast<size_t>(written);
    }
    return {};
}

void OutputFile::close() noexcept {
    if (fd_ < 0) return;
    // After close the descriptor is gone even when close reports an error
    // (EINTR included), so it is never retried.
    (void)::close(fd_);
    fd_ = -1;
}

}  // namespace molvane::core
