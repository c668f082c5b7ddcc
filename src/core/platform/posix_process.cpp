// Starting the Terminal and finding process executables.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
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

// In the grandchild: closes every descriptor except the ones it keeps.
void close_other_descriptors(int keep) {
    rlimit lim{};
    long max = (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
                   ? static_cast<long>(lim.rlim_cur) : 4096;
    if (max > 65536) max = 65536;
    for (int fd = 3; fd < max; ++fd)
        if (fd != keep) ::close(fd);
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
        close_other_descriptors(report[1]);
        ::execv(file.c_str(), argv);
        const int error = errno;
        ssize_t ignored = ::write(report[1], &error, sizeof error);
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
