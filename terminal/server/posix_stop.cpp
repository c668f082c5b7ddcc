#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <unistd.h>

#include "terminal/server/stop.hpp"

namespace qvn::terminal {
namespace {

// Written by the signal handler; the serving loop polls the other end.
int g_stop_write = -1;

// How often the owner is looked at where the system gives no descriptor for
// a process (kernels before 5.3, sandboxes refusing the call).
constexpr int kOwnerPollMs = 250;

extern "C" void on_stop_signal(int) {
    const char byte = 1;
    ssize_t ignored = ::write(g_stop_write, &byte, 1);
    (void)ignored;
}

void route(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

int open_process(pid_t pid) noexcept {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));  // close-on-exec by itself
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Without a descriptor: a child is handed to another parent the moment its
// parent exits (before anyone reaps it), and kill(0) finds no process once
// it has been reaped.
bool owner_gone(pid_t owner, bool parent) noexcept {
    if (parent && ::getppid() != owner) return true;
    return ::kill(owner, 0) != 0 && errno == ESRCH;
}

// Raises the stop once the owner has ended; returns without raising when
// `cancel` becomes readable (the request is ending).
void watch_owner(int process, pid_t owner, bool parent, int cancel, int raise) noexcept {
    for (;;) {
        pollfd fds[2] = {{cancel, POLLIN, 0}, {process, POLLIN, 0}};
        const int rc = ::poll(fds, process >= 0 ? 2 : 1, process >= 0 ? -1 : kOwnerPollMs);
        if (rc < 0) {
            if (errno == EINTR) continue;
            process = -1;  // look at it the plain way from now on
            continue;
        }
        if (fds[0].revents != 0) return;
        if (process >= 0 ? fds[1].revents != 0 : owner_gone(owner, parent)) break;
    }
    const char byte = 1;
    ssize_t ignored = ::write(raise, &byte, 1);
    (void)ignored;
}

}  // namespace

StopRequest::StopRequest() {
    // Writes to a client that has gone must fail, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    int stop[2];
    if (::pipe2(stop, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create the stop pipe");
    wait_ = platform::UniqueHandle(stop[0]);
    raise_ = platform::UniqueHandle(stop[1]);
    g_stop_write = raise_.get();
    route(on_stop_signal);
}

StopRequest::~StopRequest() {
    if (watch_.joinable()) {
        const char byte = 1;
        ssize_t ignored = ::write(cancel_raise_.get(), &byte, 1);
        (void)ignored;
        watch_.join();
    }
    // Afterwards the signals are ignored: the program is on its way out.
    route(SIG_IGN);
    g_stop_write = -1;
}

bool StopRequest::follow_owner(std::uint32_t pid, std::string& error) {
    const auto owner = static_cast<pid_t>(pid);
    const bool parent = ::getppid() == owner;
    owner_ = platform::UniqueHandle(open_process(owner));
    // A process that has exited but is not yet reaped still gets a
    // descriptor, readable already.
    pollfd ended{owner_.get(), POLLIN, 0};
    if (owner_.valid() ? ::poll(&ended, 1, 0) > 0 : (errno == ESRCH || owner_gone(owner, false))) {
        error = "the owner process " + std::to_string(pid) + " is not running";
        return false;
    }
    int cancel[2];
    if (::pipe2(cancel, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = "cannot create the owner watch's pipe";
        return false;
    }
    cancel_wait_ = platform::UniqueHandle(cancel[0]);
    cancel_raise_ = platform::UniqueHandle(cancel[1]);
    watch_ = std::thread(watch_owner, owner_.get(), owner, parent, cancel_wait_.get(), raise_.get());
    return true;
}

}  // namespace qvn::terminal
