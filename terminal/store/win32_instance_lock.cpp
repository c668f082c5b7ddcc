// On Windows the pid file is opened without sharing and deleted when closed:
// while a Terminal runs nobody else can open it, and it goes with the
// process however that ends.
#include <windows.h>

#include "terminal/store/instance_lock.hpp"

namespace qvn::terminal {

InstanceLock::Result InstanceLock::acquire(const std::string& path, std::string& why) {
    const HANDLE h = ::CreateFileW(wide_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) return Result::Held;
        why = "cannot open '" + path + "': error " + std::to_string(error);
        return Result::Failed;
    }
    fd_ = platform::UniqueHandle(reinterpret_cast<platform::Handle>(h));
    path_ = path;
    pid_line_ = std::to_string(::GetCurrentProcessId()) + "\n";
    DWORD written = 0;
    ::WriteFile(h, pid_line_.data(), static_cast<DWORD>(pid_line_.size()), &written, nullptr);
    return Result::Acquired;
}

void InstanceLock::publish(std::string_view details) noexcept {
    if (!fd_.valid()) return;
    try {
        const std::string text = pid_line_ + std::string(details);
        const HANDLE h = reinterpret_cast<HANDLE>(fd_.get());
        LARGE_INTEGER start{};
        DWORD written = 0;
        if (::SetFilePointerEx(h, start, nullptr, FILE_BEGIN) &&
            ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size())
            ::SetEndOfFile(h);
    } catch (...) {
        // Out of memory: the pid alone stays published.
    }
}

void InstanceLock::release() noexcept { fd_.reset(); }

}  // namespace qvn::terminal
