#include "core/input_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace molvane::core {

IoOutcome InputFile::open(const std::string& path) noexcept {
    if (IoOutcome checked = check_path(path); !checked.ok()) return checked;
    close();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EINTR) return {IoOutcome::Status::Interrupted, EINTR};
        return {IoOutcome::Status::Errno, errno};
    }
    mapping_ = map_if_local(fd);
    if (mapping_) {
        (void)::close(fd);
    } else {
        fd_ = fd;
    }
    return {};
}

IoOutcome InputFile::read_some(char* buf, size_t len, size_t& got) noexcept {
    got = 0;
    const ssize_t count = ::read(fd_, buf, len);
    if (count < 0) {
        if (errno == EINTR) return {IoOutcome::Status::Interrupted, EINTR};
        return {IoOutcome::Status::Errno, errno};
    }
    got = static_cast<size_t>(count);
    return {};
}

void InputFile::close() noexcept {
    mapping_.reset();
    if (fd_ < 0) return;
    (void)::close(fd_);
    fd_ = -1;
}

}  // namespace molvane::core
