// Files of the Terminal on Windows.
#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/platform.hpp"
#include "platform/win32_handle.hpp"
#include "terminal/store/files.hpp"

namespace qvn::terminal {
namespace {

std::wstring wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

bool is_folder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

using File = platform::win32::OwnedHandle;

}  // namespace

bool make_folders(std::u16string_view path) {
    const std::wstring p = wide(path);
    if (p.empty()) return false;
    for (std::size_t i = 1; i <= p.size(); ++i) {
        if (i != p.size() && p[i] != L'\\' && p[i] != L'/') continue;
        const std::wstring prefix = p.substr(0, i);
        // Drive letters ("C:") and existing folders need nothing; a folder
        // that cannot be made shows in the final check.
        if (prefix.back() == L':' || is_folder(prefix)) continue;
        ::CreateDirectoryW(prefix.c_str(), nullptr);
    }
    return is_folder(p);
}

bool write_file(std::u16string_view path, std::string_view bytes) {
    const std::wstring target = wide(path);
    const std::wstring temp = target + L".tmp." + std::to_wstring(::GetCurrentProcessId());
    {
        File file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
        if (!file.valid()) return false;
        const char* p = bytes.data();
        std::size_t left = bytes.size();
        while (left > 0) {
            DWORD n = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 20));
            if (!::WriteFile(file.get(), p, want, &n, nullptr) || n == 0) {
                file.reset();
                ::DeleteFileW(temp.c_str());
                return false;
            }
            p += n;
            left -= n;
        }
    }
    if (!::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        ::DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

bool read_file(std::u16string_view path, std::string& out, std::size_t limit) {
    out.clear();
    const File file(::CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    char buf[16384];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(file.get(), buf, sizeof buf, &n, nullptr)) return false;
        if (n == 0) return true;
        if (out.size() + n > limit) return false;
        out.append(buf, n);
    }
}

std::vector<std::u16string> list_folders(std::u16string_view path) {
    std::vector<std::u16string> out;
    WIN32_FIND_DATAW found;
    const HANDLE find = ::FindFirstFileW((wide(path) + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L".." || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        out.emplace_back(name.begin(), name.end());
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    std::sort(out.begin(), out.end());
    return out;
}

void remove_file(std::u16string_view path) { ::DeleteFileW(wide(path).c_str()); }

// Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
bool move_folder(std::u16string_view from, std::u16string_view to) {
    return ::MoveFileExW(wide(from).c_str(), wide(to).c_str(), 0) != 0;
}

}  // namespace qvn::terminal
