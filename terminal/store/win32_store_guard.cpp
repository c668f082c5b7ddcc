// The trading store's folder, files and lock on Windows. The folder lives
// in the user's profile (or a portable installation), whose access list
// already keeps other users out; what is checked here is that none of the
// store's files is a reparse point (a symbolic link or junction), which
// SQLite would follow.
#include <windows.h>

#include "platform/win32_handle.hpp"
#include "protocol/text.hpp"
#include "terminal/store/store_check.hpp"
#include "terminal/store/store_guard.hpp"

namespace qvn::terminal {
std::string store_path(const std::string& folder) { return folder + "\\trading.db"; }
std::string store_lock_path(const std::string& folder) { return folder + "\\trading.db.lock"; }

bool check_store_folder(std::u16string_view folder, std::string& resolved, std::string& why) {
    resolved = protocol::utf16_to_utf8(folder);
    const DWORD attributes = ::GetFileAttributesW(wide_path(resolved).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        why = "the trading store's folder '" + resolved + "' is not a directory";
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        why = "the trading store's folder '" + resolved + "' is a link";
        return false;
    }
    return true;
}

namespace {

// A file of the store with other names (hard links) is shared with
// whatever those names are: the Terminal would write into another file.
bool single_name(const std::string& path, const BY_HANDLE_FILE_INFORMATION& info, std::string& why) {
    if (info.nNumberOfLinks <= 1) return true;
    why = "'" + path + "' has " + std::to_string(info.nNumberOfLinks) +
          " names (hard links); a file of the trading store may have no other";
    return false;
}

}  // namespace

bool check_store_files(const std::string& folder, std::string& why) {
    const std::string db = store_path(folder);
    // The lock file, held unshared by now, is checked as it is taken.
    const std::string paths[] = {db, db + "-wal", db + "-shm", db + "-journal"};
    StoreFileSeen seen[4];
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string& path = paths[i];
        const DWORD attributes = ::GetFileAttributesW(wide_path(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) continue;
        if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
            why = "'" + path + "' is a link or a folder; the trading store follows none";
            return false;
        }
        // SQLite would quietly open a file it cannot write read-only, and
        // every trade would then fail.
        const platform::win32::OwnedHandle file(::CreateFileW(
            wide_path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (!file.valid() || !::GetFileInformationByHandle(file.get(), &info)) {
            why = "'" + path + "' cannot be opened for writing: error " + std::to_string(::GetLastError());
            return false;
        }
        if (!single_name(path, info, why)) return false;
        seen[i] = {true, (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow};
    }
    return check_store_logs(db, seen[0], {seen[1], seen[2], seen[3]}, why);
}

bool make_store_file(const std::string& path, std::string& why) {
    const platform::win32::OwnedHandle file(::CreateFileW(
        wide_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        why = "cannot create '" + path + "': error " + std::to_string(::GetLastError());
        return false;
    }
    return true;
}

StoreLock::Result StoreLock::acquire(const std::string& path, std::string& why, std::string& holder) {
    holder.clear();
    const HANDLE h = ::CreateFileW(wide_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // Shared with nobody: the holder's pid cannot be read while it runs.
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return Result::Held;
        why = "cannot open the store lock '" + path + "': error " + std::to_string(error);
        return Result::Failed;
    }
    handle_ = platform::UniqueHandle(reinterpret_cast<platform::Handle>(h));
    // Checked on the open file, before anything is written to it.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info)) {
        why = "cannot examine the store lock '" + path + "': error " + std::to_string(::GetLastError());
        handle_.reset();
        return Result::Failed;
    }
    if (!single_name(path, info, why)) {
        handle_.reset();
        return Result::Failed;
    }
    const std::string pid = std::to_string(::GetCurrentProcessId()) + "\n";
    DWORD written = 0;
    ::SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    ::SetEndOfFile(h);
    ::WriteFile(h, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
    return Result::Acquired;
}

}  // namespace qvn::terminal
