// Starting the Terminal and finding process executables.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
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

// One pass over /proc/self/fd (open as `dir`) with raw system calls: closes
// every listed descriptor from 3 on except `keep`. True when it closed any.
bool close_listed(int dir, int keep) noexcept {
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
            if (number && fd > 2 && fd != keep && fd != dir) {
                ::close(fd);
                closed = true;
            }
            pos += reclen;
        }
    }
    return closed;
}

// In the grandchild: closes every descriptor from 3 on except `keep`. The
// soft descriptor limit is no bound (a descriptor may have been opened before
// the limit was lowered), so the kernel closes the whole range; where it
// cannot, the open descriptors are listed instead, with raw system calls,
// since nothing that allocates is safe between fork and exec.
void close_other_descriptors(int keep) noexcept {
    const auto close_range = [](unsigned first, unsigned last) {
        return first > last || ::syscall(kCloseRange, first, last, 0u) == 0;
    };
    const bool done = keep < 3 ? close_range(3, ~0u)
                               : close_range(3, static_cast<unsigned>(keep) - 1) &&
                                     close_range(static_cast<unsigned>(keep) + 1, ~0u);
    if (done) return;
    const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    // Closing changes the listing being read, so it is read again until a
    // pass finds nothing left to close.
    while (close_listed(dir, keep)) {
    }
    ::close(dir);
}

}  // namespace

bool spawn_detached(std::u16string_view path, bool portable) noexcept {
    std::string file;
    try {
        file = protocol::utf16_to_path(path);
    } catch (...) {
        return false;
    }
    // The grandchild reports a failed exec through a close-on-exec pipe: a
    // successful exec closes it with nothing written.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;
    char portable_arg[] = "/portable";
    char* argv[3] = {file.data(), portable ? portable_arg : nullptr, nullptr};

    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        // First child: new session, then fork again so the Terminal is
        // adopted by init and never stays a zombie of this process.
        ::close(report[0]);
        // The report pipe must survive the standard streams being replaced.
        int report_fd = report[1];
        if (report_fd <= 2) report_fd = ::fcntl(report[1], F_DUPFD_CLOEXEC, 3);
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            if (null > 2) ::close(null);
        }
        close_other_descriptors(report_fd);
        ::execv(file.c_str(), argv);
        const int error = errno;
        ssize_t ignored = ::write(report_fd, &error, sizeof error);
        (void)ignored;
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    const bool first_child_ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return first_child_ok && n == 0;
}

std::u16string parent_executable() {
    return read_link("/proc/" + std::to_string(::getppid()) + "/exe");
}

std::u16string own_executable() { return read_link("/proc/self/exe"); }

}  // namespace qvn::platform
