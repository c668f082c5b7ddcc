// Files, folders and well-known locations.
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <vector>

#include "platform/platform.hpp"
#include "platform/win32_handle.hpp"
#include "platform/win32_text.hpp"

namespace qvn::platform {
namespace {

using win32::OwnedHandle;
using win32::units;
using win32::wide;

// FILETIME counts 100 ns steps from 1601; the interface counts nanoseconds
// from 1970.
std::uint64_t unix_nanoseconds(const FILETIME& ft) noexcept {
    constexpr std::uint64_t kEpochOffset = 116444736000000000ull;
    const std::uint64_t ticks = (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    return ticks > kEpochOffset ? (ticks - kEpochOffset) * 100 : 0;
}

}  // namespace

std::string win32::narrow(std::wstring_view text) {
    if (text.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                        nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// The final path of the file in the normalised DOS-volume form, which
// begins with the long-path prefix "\\?\": every spelling of one file (letter
// case, "..", links) gives the same text.
std::u16string resolve_path(std::u16string_view path) {
    const std::wstring name = wide(path);
    const OwnedHandle file(::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) return {};
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n = ::GetFinalPathNameByHandleW(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), 0);
        if (n == 0) return {};
        if (n < buffer.size()) return units({buffer.data(), n});
        buffer.resize(n + 1);  // n is the size needed, terminator included
    }
    return {};
}

bool endpoint_digest(std::u16string_view final_path, protocol::Digest& out) noexcept {
    try {
        std::wstring lowered = wide(final_path);
        if (lowered.size() > (1u << 28)) return false;  // far beyond any path; keeps the counts in a DWORD
        ::CharLowerBuffW(lowered.data(), static_cast<DWORD>(lowered.size()));
        return win32::sha256(lowered.data(), static_cast<DWORD>(lowered.size() * sizeof(wchar_t)), out);
    } catch (...) {
        return false;
    }
}

std::u16string roaming_folder() {
    PWSTR path = nullptr;
    std::u16string out;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &path)) && path != nullptr) {
        try {
            out = units(path);
        } catch (...) {
            out.clear();
        }
    }
    ::CoTaskMemFree(path);  // also after a failure, which may return a block
    return out;
}

FileInfo file_info(std::u16string_view path) noexcept {
    FileInfo info;
    try {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!::GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return info;
        info.exists = true;
        info.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        // Windows has no permission to execute; any file may be started.
        info.executable = !info.directory;
        info.write_time = unix_nanoseconds(data.ftLastWriteTime);
    } catch (...) {
        info = FileInfo{};
    }
    return info;
}

bool list_folder(std::u16string_view path, std::vector<DirEntry>& out) {
    out.clear();
    std::wstring pattern = wide(path);
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found{};
    const win32::FindHandle search(::FindFirstFileW(pattern.c_str(), &found));
    if (!search.valid()) return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // an empty folder
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        out.push_back(DirEntry{units(name), (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (::FindNextFileW(search.get(), &found));
    return true;
}

bool read_file_prefix(std::u16string_view path, void* buffer, std::size_t max, std::size_t& got) noexcept {
    got = 0;
    try {
        const OwnedHandle file(::CreateFileW(wide(path).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid() || ::GetFileType(file.get()) != FILE_TYPE_DISK) return false;
        auto p = static_cast<char*>(buffer);
        while (got < max) {
            DWORD n = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(max - got, 1u << 20));
            if (!::ReadFile(file.get(), p + got, want, &n, nullptr)) return false;
            if (n == 0) break;
            got += n;
        }
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace qvn::platform
