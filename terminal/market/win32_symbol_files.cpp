// The files of an imported symbol on Windows. Neither the folder nor a file
// may be a reparse point (a symbolic link or a junction); the folder is held
// open without sharing deletion, so it cannot be renamed or replaced while
// its files are read, and a file must be a file on disk.
#include <windows.h>

#include <string>

#include "platform/win32_handle.hpp"
#include "terminal/market/symbol_files.hpp"

namespace qvn::terminal {
namespace {

std::wstring wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

std::string cannot(DWORD error) { return "cannot be read: error " + std::to_string(error); }

HANDLE native(platform::Handle h) noexcept { return reinterpret_cast<HANDLE>(h); }

platform::UniqueHandle owned(HANDLE h) noexcept {
    return platform::UniqueHandle(h == INVALID_HANDLE_VALUE ? platform::kInvalidHandle
                                                            : reinterpret_cast<platform::Handle>(h));
}

}  // namespace

bool SymbolFolder::open(std::u16string_view path, std::string& error) {
    path_.assign(path);
    // Listing access, which takes part in sharing: a handle of attributes
    // alone would not keep the folder from being renamed.
    handle_ = owned(::CreateFileW(wide(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle_.valid() || !::GetFileInformationByHandle(native(handle_.get()), &info)) {
        error = cannot(::GetLastError());
        return false;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = std::string(kLinkedFolder);
        return false;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = "not a folder";
        return false;
    }
    return true;
}

bool SymbolFile::open(const SymbolFolder& folder, std::u16string_view name, std::string& error) {
    std::u16string path = folder.path();
    path += u'\\';
    path += name;
    handle_ = owned(::CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle_.valid() || !::GetFileInformationByHandle(native(handle_.get()), &info)) {
        error = cannot(::GetLastError());
        return false;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = std::string(kLinkedFile);
        return false;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || ::GetFileType(native(handle_.get())) != FILE_TYPE_DISK) {
        error = "not a regular file";
        return false;
    }
    size_ = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

bool SymbolFile::read(void* out, std::size_t n) noexcept {
    auto p = static_cast<char*>(out);
    while (n > 0) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(n < (std::size_t{1} << 30) ? n : std::size_t{1} << 30);
        if (!::ReadFile(native(handle_.get()), p, want, &got, nullptr) || got == 0) return false;
        p += got;
        n -= got;
    }
    return true;
}

bool SymbolFile::at_end() noexcept {
    char byte = 0;
    DWORD got = 0;
    return ::ReadFile(native(handle_.get()), &byte, 1, &got, nullptr) && got == 0;
}

}  // namespace qvn::terminal
