#include "core/fault_guard.hpp"

#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <mutex>

namespace molvane::core {

namespace {

struct Guard {
    sigjmp_buf resume;
    const char* begin;
    std::size_t size;
};

// Static TLS (initial-exec), so that the handler reads these without the
// lazy allocation that dynamic TLS may do on a thread's first access.
__attribute__((tls_model("initial-exec"))) thread_local Guard* active_guard = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local int chain_depth = 0;

// The handler in place before ours; written under install_mutex, read by the
// handler of a fault that is not ours.
struct sigaction previous_action;
std::mutex install_mutex;

void pass_on(int signal_number, siginfo_t* info, void* context) noexcept {
    // A handler further down that sends the signal back to us (one that was
    // installed over ours, and then had ours installed over it again) must
    // not loop: the second time round the default action ends the process.
    if (chain_depth++ > 0) {
        ::signal(signal_number, SIG_DFL);
        ::raise(signal_number);
        return;
    }
    const struct sigaction next = previous_action;
    if (next.sa_flags & SA_SIGINFO) {
        next.sa_sigaction(signal_number, info, context);
    } else if (next.sa_handler != SIG_DFL && next.sa_handler != SIG_IGN) {
        next.sa_handler(signal_number);
    } else {
        // The default action (a SIGBUS cannot usefully be ignored): a real
        // fault repeats when the access runs again; a sent signal is re-sent.
        ::signal(signal_number, SIG_DFL);
        if (info->si_code <= 0) ::raise(signal_number);
    }
    --chain_depth;
}

void on_bus_error(int signal_number, siginfo_t* info, void* context) {
    Guard* guard = active_guard;
    if (guard) {
        const char* address = static_cast<const char*>(info->si_addr);
        // A signal sent rather than raised by the hardware (another handler
        // passing on our fault, say) carries no address: trust the guard.
        const bool ours = info->si_code <= 0 ||
                          (address >= guard->begin &&
                           address - guard->begin < static_cast<std::ptrdiff_t>(guard->size));
        if (ours) {
            active_guard = nullptr;
            siglongjmp(guard->resume, 1);
        }
    }
    pass_on(signal_number, info, context);
}

}  // namespace

void install_fault_handler() noexcept {
    std::lock_guard<std::mutex> lock(install_mutex);
    struct sigaction current;
    if (sigaction(SIGBUS, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_bus_error) return;
    struct sigaction ours = {};
    ours.sa_sigaction = on_bus_error;
    // SA_NODEFER keeps SIGBUS unblocked in the handler, so that the jump out
    // of it (which does not restore the signal mask) leaves the mask as it was.
    ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&ours.sa_mask);
    previous_action = current;
    sigaction(SIGBUS, &ours, nullptr);
}

bool run_guarded_call(const char* begin, std::size_t size, void (*work)(void*) noexcept,
                      void* context) noexcept {
    Guard guard;
    guard.begin = begin;
    guard.size = size;
    Guard* const outer = active_guard;
    // Not saving the signal mask keeps this cheap; see SA_NODEFER above.
    if (sigsetjmp(guard.resume, 0) != 0) {
        active_guard = outer;
        return false;
    }
    active_guard = &guard;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    work(context);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    active_guard = outer;
    return true;
}

}  // namespace molvane::core
