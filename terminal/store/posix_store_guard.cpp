// The trading store's folder, files and lock on POSIX systems.
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/text.hpp"
#include "terminal/store/store_check.hpp"
#include "terminal/store/store_guard.hpp"

namespace qvn::terminal {

std::string store_path(const std::string& folder) { return folder + "/trading.db"; }
std::string store_lock_path(const std::string& folder) { return folder + "/trading.db.lock"; }

bool check_store_folder(std::u16string_view folder, std::string& resolved, std::string& why) {
    const std::string path = protocol::utf16_to_path(folder);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        why = "the trading store's folder '" + path + "' is not accessible: " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = "the trading store's folder '" + path + "' is not a directory";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        why = "the trading store's folder '" + path + "' is owned by another user";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "the trading store's folder '" + path + "' is writable by other users";
        return false;
    }
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        why = "cannot resolve the trading store's folder '" + path + "': " + std::strerror(errno);
        return false;
    }
    resolved = real;
    std::free(real);
    return true;
}

namespace {

// A file of the store with other names (hard links) is shared with
// whatever those names are: the Terminal would write into another file.
bool single_name(const std::string& path, const struct stat& st, std::string& why) {
    if (st.st_nlink <= 1) return true;
    why = "'" + path + "' has " + std::to_string(st.st_nlink) +
          " names (hard links); a file of the trading store may have no other";
    return false;
}

}  // namespace

bool check_store_files(const std::string& folder, std::string& why) {
    const std::string db = store_path(folder);
    const std::string paths[] = {db, db + "-wal", db + "-shm", db + "-journal", store_lock_path(folder)};
    StoreFileSeen seen[5];
    for (std::size_t i = 0; i < 5; ++i) {
        const std::string& path = paths[i];
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;
            why = "cannot examine '" + path + "': " + std::strerror(errno);
            return false;
        }
        if (S_ISLNK(st.st_mode)) {
            why = "'" + path + "' is a symbolic link; the trading store follows none";
            return false;
        }
        if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            why = "'" + path + "' is not a regular file of this user";
            return false;
        }
        if (!single_name(path, st, why)) return false;
        // SQLite would quietly open a file it cannot write read-only, and
        // every trade would then fail.
        const platform::UniqueHandle fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (!fd.valid()) {
            why = "'" + path + "' cannot be opened for writing: " + std::strerror(errno);
            return false;
        }
        seen[i] = {true, static_cast<std::uint64_t>(st.st_size)};
    }
    return check_store_logs(db, seen[0], {seen[1], seen[2], seen[3]}, why);
}

bool make_store_file(const std::string& path, std::string& why) {
    platform::UniqueHandle fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    // An existing file keeps its contents but loses any wider permissions.
    if (!fd.valid() || ::fchmod(fd.get(), 0600) != 0) {
        why = "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

StoreLock::Result StoreLock::acquire(const std::string& path, std::string& why, std::string& holder) {
    holder.clear();
    platform::UniqueHandle fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        why = "cannot open the store lock '" + path + "': " + std::strerror(errno);
        return Result::Failed;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        why = "'" + path + "' is not a regular file of this user";
        return Result::Failed;
    }
    // Checked on the open file, before anything is written to it.
    if (!single_name(path, st, why)) return Result::Failed;
    if (const Result r = try_flock(fd.get(), path, why); r != Result::Acquired) {
        if (r == Result::Failed) return r;
        std::array<char, 24> text{};
        const ssize_t n = ::pread(fd.get(), text.data(), text.size() - 1, 0);
        for (ssize_t i = 0; i < n && text[static_cast<std::size_t>(i)] >= '0' && text[static_cast<std::size_t>(i)] <= '9'; ++i)
            holder += text[static_cast<std::size_t>(i)];
        return Result::Held;
    }
    // The file stays when the Terminal ends (the lock goes with the
    // process), so there is never a window in which two holders could each
    // lock a file of their own under the one name.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) == 0) {
        ssize_t ignored = ::pwrite(fd.get(), pid.data(), pid.size(), 0);
        (void)ignored;
    }
    handle_ = std::move(fd);
    return Result::Acquired;
}

}  // namespace qvn::terminal
