// The files of an imported symbol on POSIX systems: the folder is opened
// without following a link and its files are opened relative to it.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/text.hpp"
#include "terminal/market/symbol_files.hpp"

namespace qvn::terminal {
namespace {

// What a file that is not a regular one is, for the refusal.
std::string not_regular(mode_t mode) {
    if (S_ISLNK(mode)) return std::string(kLinkedFile);
    const char* kind = S_ISFIFO(mode)                   ? "a named pipe"
                       : S_ISDIR(mode)                  ? "a folder"
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                       : S_ISSOCK(mode)                 ? "a socket"
                                                        : "something";
    return std::string(kind) + ", not a regular file";
}

std::string cannot(int error) { return std::string("cannot be read: ") + std::strerror(error); }

}  // namespace

bool SymbolFolder::open(std::u16string_view path, std::string& error) {
    path_.assign(path);
    const std::string p = protocol::utf16_to_path(path);
    handle_ = platform::UniqueHandle(::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (handle_.valid()) return true;
    const int why = errno;
    struct stat st {};
    error = ::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? std::string(kLinkedFolder) : cannot(why);
    return false;
}

bool SymbolFile::open(const SymbolFolder& folder, std::u16string_view name, std::string& error) {
    const std::string n = protocol::utf16_to_path(name);
    // Looked at first, so a pipe or a device is not even opened; the open
    // file is looked at again, as the name may have changed in between.
    struct stat st {};
    if (::fstatat(folder.handle(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        error = cannot(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = not_regular(st.st_mode);
        return false;
    }
    handle_ = platform::UniqueHandle(
        ::openat(folder.handle(), n.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!handle_.valid()) {
        error = errno == ELOOP ? std::string(kLinkedFile) : cannot(errno);
        return false;
    }
    if (::fstat(handle_.get(), &st) != 0) {
        error = cannot(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = not_regular(st.st_mode);
        return false;
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool SymbolFile::read(void* out, std::size_t n) noexcept {
    auto p = static_cast<char*>(out);
    while (n > 0) {
        // At most 1 GiB a call: some systems refuse larger reads.
        const ssize_t got = ::read(handle_.get(), p, n < (std::size_t{1} << 30) ? n : std::size_t{1} << 30);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool SymbolFile::at_end() noexcept {
    char byte = 0;
    for (;;) {
        const ssize_t got = ::read(handle_.get(), &byte, 1);
        if (got < 0 && errno == EINTR) continue;
        return got == 0;
    }
}

}  // namespace qvn::terminal
