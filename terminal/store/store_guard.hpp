// What keeps the trading store a single writer's own.
//
// The folder holding trading.db (the data folder, or the installation
// folder of a portable installation) must belong to this user and be
// writable by nobody else, the rule the endpoint folder follows: otherwise
// another user could plant or swap the store's files. None of the store's
// files (trading.db, its -wal, -shm and -journal, trading.db.lock) may be a
// symbolic link or anything but a regular file: SQLite and the lock would
// follow a link out of the folder.
//
// One Terminal at a time holds a store: an exclusive lock on trading.db.lock
// (flock on POSIX; on Windows a handle that shares nothing), taken before
// the Terminal writes anything and held for its whole life. The lock file
// holds the holder's process id, for the message a second Terminal gives.
#pragma once

#include <string>

#include "platform/platform.hpp"
#include "terminal/store/file_lock.hpp"

namespace qvn::terminal {

inline constexpr std::u16string_view kStoreName = u"trading.db";

// Checks the store's folder; `resolved` receives its resolved path, to
// which the store's file names are appended (so that no symbolic link is
// left anywhere in the database's path). False with `why` set.
bool check_store_folder(std::u16string_view folder, std::string& resolved, std::string& why);

// Checks that trading.db, its journal files and the lock file in the
// (resolved) folder are regular files of this user, or absent.
bool check_store_files(const std::string& folder, std::string& why);

// Creates trading.db if missing (readable and writable by the owner alone;
// SQLite gives its journal files the same permissions) without following a
// link.
bool make_store_file(const std::string& path, std::string& why);

class StoreLock {
public:
    using Result = LockResult;

    StoreLock() = default;
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    // Takes the lock on `path`. Held: another process holds it; `holder`
    // receives its process id when the lock file tells it (else empty).
    Result acquire(const std::string& path, std::string& why, std::string& holder);

private:
    platform::UniqueHandle handle_;
};

// "<folder>/trading.db" and its lock file "<folder>/trading.db.lock".
std::string store_path(const std::string& folder);
std::string store_lock_path(const std::string& folder);

}  // namespace qvn::terminal
