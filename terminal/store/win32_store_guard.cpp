// The trading store's folder, files and lock on Windows. The folder lives
// in the user's profile (or a portable installation), whose access list
// already keeps other users out; what is checked here is that none of the
// store's files is a reparse point (a symbolic link or junction), which
// SQLite would follow.
#include <windows.h>

#include "platform/win32_handle.hpp"
#include "protocol/text.hpp"
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

bool check_store_files(const std::string& folder, std::string& why) {
    const std::string db = store_path(folder);
    for (const std::string& path : {db, db + "-wal", db + "-shm", db + "-journal", store_lock_path(folder)}) {
        const DWORD attributes = ::GetFileAttributesW(wide_path(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) continue;
        if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
            why = "'" + path + "' is a link or a folder; the trading store follows none";
            return false;
        }
    }
    return true;
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
    const std::string pid = std::to_string(::GetCurrentProcessId()) + "\n";
    DWORD written = 0;
    ::SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    ::SetEndOfFile(h);
    ::WriteFile(h, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
    return Result::Acquired;
}

}  // namespace qvn::terminal
