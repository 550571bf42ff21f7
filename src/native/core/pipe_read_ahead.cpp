#include "core/pipe_read_ahead.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/retry.hpp"

namespace molvane::core {

namespace {

constexpr std::size_t kChunk = 1u << 20;
// Read ahead at most this much: enough to keep both sides busy, little
// beside the consumer's own buffer.
constexpr std::size_t kAhead = 4u << 20;
// How long a read waits for the thread before it lets its caller look at
// signals.
constexpr auto kWait = std::chrono::milliseconds(100);

}  // namespace

bool PipeReadAhead::start(int fd) noexcept {
    if (running()) return true;
    if (::pipe2(wake_, O_CLOEXEC) != 0) return false;
    fd_ = fd;
    // The thread blocks every signal, so that the process's signals reach
    // the interpreter's own thread, which runs their handlers.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!running()) {
        (void)::close(wake_[0]);
        (void)::close(wake_[1]);
        wake_[0] = wake_[1] = -1;
        return false;
    }
    return true;
}

void PipeReadAhead::run() noexcept {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || held_ < kAhead; });
            if (stopping_) return;
        }
        pollfd watched[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            std::lock_guard lock(mutex_);
            ended_ = true;
            error_ = error;
            changed_.notify_all();
            return;
        }
        if (watched[1].revents != 0) return;  // stop() wrote to the wake pipe
        std::string chunk;
        ssize_t count = 0;
        try {
            chunk.resize(kChunk);
        } catch (...) {
            std::lock_guard lock(mutex_);
            ended_ = true;
            error_ = ENOMEM;
            changed_.notify_all();
            return;
        }
        count = retry_on_eintr([&] { return ::read(fd_, chunk.data(), chunk.size()); });
        const int read_error = count < 0 ? errno : 0;
        std::lock_guard lock(mutex_);
        if (count <= 0) {
            ended_ = true;
            error_ = read_error;
            changed_.notify_all();
            return;
        }
        chunk.resize(static_cast<std::size_t>(count));
        held_ += chunk.size();
        try {
            ready_.push_back(std::move(chunk));
        } catch (...) {
            ended_ = true;
            error_ = ENOMEM;
        }
        changed_.notify_all();
        if (ended_) return;
    }
}

IoOutcome PipeReadAhead::read_some(char* buf, std::size_t len, std::size_t& got) noexcept {
    got = 0;
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kWait, [this] { return !ready_.empty() || ended_; })) {
        return {IoOutcome::Status::Interrupted, EINTR};
    }
    while (!ready_.empty() && got < len) {
        const std::string& front = ready_.front();
        const std::size_t count = std::min(len - got, front.size() - taken_);
        std::memcpy(buf + got, front.data() + taken_, count);
        got += count;
        taken_ += count;
        held_ -= count;
        if (taken_ == front.size()) {
            ready_.pop_front();
            taken_ = 0;
        }
    }
    if (got == 0 && error_ != 0) return {IoOutcome::Status::Errno, error_};
    changed_.notify_all();
    return {};
}

void PipeReadAhead::stop() noexcept {
    if (!running()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    const char wake = 1;
    (void)retry_on_eintr([&] { return ::write(wake_[1], &wake, 1); });
    thread_.join();
    (void)::close(wake_[0]);
    (void)::close(wake_[1]);
    wake_[0] = wake_[1] = -1;
    std::lock_guard lock(mutex_);
    ready_.clear();
    held_ = taken_ = 0;
}

}  // namespace molvane::core
