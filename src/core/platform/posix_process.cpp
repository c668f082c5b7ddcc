// Starting the Terminal and finding process executables.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.hpp"
#include "protocol/text.hpp"

namespace qvn::platform {
namespace {

std::u16string read_link(const std::string& link) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
    std::string target(buf, static_cast<std::size_t>(n));
    // A replaced executable shows as "<path> (deleted)"; it is still the path
    // the process was started from.
    static constexpr std::string_view kDeleted = " (deleted)";
    if (target.size() > kDeleted.size() && target.ends_with(kDeleted))
        target.resize(target.size() - kDeleted.size());
    return protocol::path_to_utf16(target);
}

#ifdef SYS_close_range
constexpr long kCloseRange = SYS_close_range;
#else
constexpr long kCloseRange = 436;  // the same number on every architecture; older headers lack it
#endif

// Descriptors a forked process keeps open: at most two, -1 for none.
struct Kept {
    int low = -1;
    int high = -1;
    Kept(int a, int b) noexcept : low(a < b ? a : b), high(a < b ? b : a) {}
    bool has(int fd) const noexcept { return fd == low || fd == high; }
};

// One pass over /proc/self/fd (open as `dir`) with raw system calls: closes
// every listed descriptor from 3 on except those kept. True when it closed any.
bool close_listed(int dir, Kept keep) noexcept {
    if (::lseek(dir, 0, SEEK_SET) != 0) return false;
    bool closed = false;
    alignas(8) char buffer[4096];
    long n;
    while ((n = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
        for (long pos = 0; pos < n;) {
            // linux_dirent64: u64 inode, i64 offset, u16 record length, u8 type, name.
            unsigned short reclen = 0;
            std::memcpy(&reclen, buffer + pos + 16, sizeof reclen);
            const char* name = buffer + pos + 19;
            int fd = 0;
            bool number = *name != '\0';
            for (const char* c = name; number && *c != '\0'; ++c) {
                if (*c < '0' || *c > '9') number = false;
                fd = fd * 10 + (*c - '0');
            }
            if (number && fd > 2 && !keep.has(fd) && fd != dir) {
                ::close(fd);
                closed = true;
            }
            pos += reclen;
        }
    }
    return closed;
}

// In a forked process: closes every descriptor from 3 on except those kept.
// The soft descriptor limit is no bound (a descriptor may have been opened
// before the limit was lowered), so the kernel closes whole ranges; where it
// cannot, the open descriptors are listed instead, with raw system calls,
// since nothing that allocates is safe between fork and exec.
void close_other_descriptors(Kept keep) noexcept {
    const auto close_range = [](int first, unsigned last) {
        return static_cast<unsigned>(first) > last ||
               ::syscall(kCloseRange, static_cast<unsigned>(first), last, 0u) == 0;
    };
    bool done = true;
    int from = 3;
    for (const int kept : {keep.low, keep.high}) {
        if (kept < from) continue;
        done = done && close_range(from, static_cast<unsigned>(kept) - 1);
        from = kept + 1;
    }
    done = done && close_range(from, ~0u);
    if (done) return;
    const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    // Closing changes the listing being read, so it is read again until a
    // pass finds nothing left to close.
    while (close_listed(dir, keep)) {
    }
    ::close(dir);
}

// Moves `fd` to 3 or above, so that replacing the standard streams leaves it.
int above_standard(int fd) noexcept { return fd > 2 ? fd : ::fcntl(fd, F_DUPFD_CLOEXEC, 3); }

void default_signals(int except) noexcept {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        action.sa_handler = sig == except ? SIG_IGN : SIG_DFL;
        ::sigaction(sig, &action, nullptr);
    }
}

// Standard input and output on the null device; standard error on
// `errors` when there is one.
void standard_streams(int errors) noexcept {
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(errors >= 0 ? errors : null, 2);
        if (null > 2) ::close(null);
    }
}

ssize_t write_int(int fd, int value) noexcept {
    ssize_t n;
    do {
        n = ::write(fd, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
    return n;
}

// True when a whole int was read; false at the end of the stream (nothing
// was written) or when the read failed.
bool read_int(int fd, int& value) noexcept {
    ssize_t n;
    do {
        n = ::read(fd, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof value);
}

void reap(pid_t pid) noexcept {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// How often the launcher looks whether the Terminal has ended; it also
// wakes at once when the module lets it go.
constexpr int kLauncherPollMs = 10;

// The launcher: the Terminal's parent while the module watches it, so that
// its exit status can be learnt; once let go it exits, and the Terminal is
// adopted by init. It writes the Terminal's wait status to `report` if the
// Terminal ends first. Only async-signal-safe calls: it is a fork of a
// process that may run other threads.
[[noreturn]] void launcher(pid_t terminal, int report, int control) noexcept {
    pollfd let_go{control, POLLIN, 0};
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(terminal, &status, WNOHANG);
        if (got == terminal) {
            write_int(report, status);
            ::_exit(0);
        }
        if (got < 0 && errno != EINTR) ::_exit(1);  // no status to learn
        if (::poll(&let_go, 1, kLauncherPollMs) > 0) ::_exit(0);
    }
}

}  // namespace

// Three processes take part: this one, a launcher it forks, and the Terminal
// the launcher forks in a new session. The Terminal reports a failed exec
// through a close-on-exec pipe that only it holds (a successful exec closes
// it with nothing written); the launcher reports how the Terminal ended
// through a second pipe, and exits when this process closes a third.
bool StartedProcess::start(std::u16string_view path, bool portable) noexcept {
    release();
    std::string file, folder, why;
    try {
        file = protocol::utf16_to_path(path);
        if (!endpoint_folder(folder, why)) folder.clear();
    } catch (...) {
        return false;
    }
    // Unnamed, in the private endpoint folder; without one the Terminal's
    // complaints are lost, not its exit status.
    UniqueHandle errors;
#ifdef O_TMPFILE
    if (!folder.empty()) errors = UniqueHandle(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
#endif
    if (!errors.valid() && !folder.empty()) {
        std::string name = folder + "/.terminal-errors-XXXXXX";
        errors = UniqueHandle(::mkostemp(name.data(), O_CLOEXEC));
        if (errors.valid()) ::unlink(name.c_str());
    }

    int exec_report[2], status_report[2], control[2];
    if (::pipe2(exec_report, O_CLOEXEC) != 0) return false;
    UniqueHandle exec_read(exec_report[0]), exec_write(exec_report[1]);
    if (::pipe2(status_report, O_CLOEXEC) != 0) return false;
    UniqueHandle status_read(status_report[0]), status_write(status_report[1]);
    if (::pipe2(control, O_CLOEXEC) != 0) return false;
    UniqueHandle control_read(control[0]), control_write(control[1]);

    char portable_arg[] = "/portable";
    char* argv[3] = {file.data(), portable ? portable_arg : nullptr, nullptr};

    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        // The launcher. Its descriptors must survive the standard streams
        // being replaced.
        const int exec_fd = above_standard(exec_write.get());
        const int status_fd = above_standard(status_write.get());
        const int control_fd = above_standard(control_read.get());
        const int errors_fd = errors.valid() ? above_standard(errors.get()) : -1;
        ::setsid();
        default_signals(SIGPIPE);  // a report nobody reads any more must not kill it
        const pid_t terminal = ::fork();
        if (terminal == 0) {
            default_signals(0);
            standard_streams(errors_fd);
            close_other_descriptors(Kept(exec_fd, -1));
            ::execv(file.c_str(), argv);
            write_int(exec_fd, errno);
            ::_exit(127);
        }
        if (terminal < 0) {
            write_int(exec_fd, errno);
            ::_exit(1);
        }
        ::close(exec_fd);  // only the Terminal reports its exec: this process waits for its end
        standard_streams(-1);
        close_other_descriptors(Kept(status_fd, control_fd));
        launcher(terminal, status_fd, control_fd);
    }
    launcher_ = child;
    exec_write.reset();
    status_write.reset();
    control_read.reset();
    int error = 0;
    if (read_int(exec_read.get(), error)) {
        // Not started: let the launcher go and reap it.
        control_write.reset();
        reap(child);
        launcher_ = 0;
        return false;
    }
    watch_ = status_read.release();
    control_ = control_write.release();
    errors_ = errors.release();
    return true;
}

bool StartedProcess::wait_end(unsigned timeout_ms) noexcept {
    if (ended_) return true;
    if (watch_ == kInvalidHandle) return false;
    pollfd report{watch_, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&report, 1, static_cast<int>(timeout_ms));
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;
    int status = 0;
    if (!read_int(watch_, status)) {
        // The launcher went without a word: nothing more can be learnt.
        close_handle(watch_);
        return false;
    }
    ended_ = true;
    signalled_ = WIFSIGNALED(status);
    status_ = static_cast<std::uint32_t>(signalled_ ? WTERMSIG(status) : WEXITSTATUS(status));
    return true;
}

std::string StartedProcess::error_tail(std::size_t max, bool& whole) const {
    whole = true;
    struct stat st {};
    if (errors_ == kInvalidHandle || ::fstat(errors_, &st) != 0 || st.st_size <= 0) return {};
    const auto size = static_cast<std::size_t>(st.st_size);
    const std::size_t n = size < max ? size : max;
    whole = n == size;
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(errors_, out.data() + got, n - got, static_cast<off_t>(size - n + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
}

void StartedProcess::release() noexcept {
    close_handle(control_);  // the launcher wakes and exits
    close_handle(watch_);
    close_handle(errors_);
    if (launcher_ != 0) reap(static_cast<pid_t>(launcher_));
    launcher_ = 0;
    ended_ = signalled_ = false;
    status_ = 0;
}

std::u16string parent_executable() {
    return read_link("/proc/" + std::to_string(::getppid()) + "/exe");
}

std::u16string own_executable() { return read_link("/proc/self/exe"); }

}  // namespace qvn::platform
