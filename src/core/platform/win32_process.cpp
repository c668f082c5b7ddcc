// Starting the Terminal and finding process executables.
#include <windows.h>
#include <tlhelp32.h>

#include <vector>

#include "platform/platform.hpp"
#include "platform/win32_handle.hpp"
#include "platform/win32_text.hpp"

namespace qvn::platform {
namespace {

using win32::OwnedHandle;
using win32::units;
using win32::wide;

DWORD parent_process_id() noexcept {
    const OwnedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return 0;
    const DWORD self = ::GetCurrentProcessId();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry))
        if (entry.th32ProcessID == self) return entry.th32ParentProcessID;
    return 0;
}

// The Terminal's standard error: a file in the temporary folder that goes
// when its last handle closes (this process's at release, the Terminal's
// when it ends), so it never outlives the Terminal.
HANDLE error_file() noexcept {
    wchar_t folder[MAX_PATH + 2];
    const DWORD n = ::GetTempPathW(MAX_PATH + 2, folder);
    if (n == 0 || n > MAX_PATH + 1) return INVALID_HANDLE_VALUE;
    wchar_t name[MAX_PATH + 1];
    if (::GetTempFileNameW(folder, L"qvn", 0, name) == 0) return INVALID_HANDLE_VALUE;
    const HANDLE h = ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) ::DeleteFileW(name);
    return h;
}

// The list of the one handle the Terminal inherits, its standard error.
class InheritList {
public:
    explicit InheritList(HANDLE& only) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (size == 0 || !::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
        if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &only, sizeof only, nullptr,
                                         nullptr)) {
            ::DeleteProcThreadAttributeList(list);
            return;
        }
        list_ = list;
    }
    ~InheritList() {
        if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
    }
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept { return list_; }

private:
    std::vector<unsigned char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

bool StartedProcess::start(std::u16string_view path, bool portable) noexcept {
    release();
    try {
        const std::wstring application = wide(path);
        // The command line is the quoted path and the switch, whole: a line
        // cut to fit a fixed buffer would start the Terminal without
        // "/portable".
        std::wstring command;
        if (portable) command = L"\"" + application + L"\" /portable";
        OwnedHandle errors(error_file());
        HANDLE inherited = errors.get();
        // Inheritable only while the process is made, and then only by it
        // (the attribute list): no other process this one starts meanwhile
        // keeps the file.
        const bool inherit = errors.valid() && ::SetHandleInformation(inherited, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        const InheritList list(inherited);
        const bool listed = inherit && list.get() != nullptr;
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = listed ? sizeof startup : sizeof startup.StartupInfo;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = startup.StartupInfo.hStdOutput = INVALID_HANDLE_VALUE;
        startup.StartupInfo.hStdError = listed ? inherited : INVALID_HANDLE_VALUE;
        startup.lpAttributeList = listed ? list.get() : nullptr;
        PROCESS_INFORMATION process{};
        // Detached from this console, so the user's Ctrl+C or a closed
        // console window does not stop the Terminal.
        const BOOL made = ::CreateProcessW(application.c_str(), portable ? command.data() : nullptr, nullptr, nullptr,
                                           listed ? TRUE : FALSE,
                                           DETACHED_PROCESS | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr,
                                           nullptr, &startup.StartupInfo, &process);
        if (inherit) ::SetHandleInformation(inherited, HANDLE_FLAG_INHERIT, 0);
        if (!made) return false;
        const OwnedHandle thread(process.hThread);
        watch_ = reinterpret_cast<Handle>(process.hProcess);
        if (listed) errors_ = reinterpret_cast<Handle>(errors.release());
        return true;
    } catch (...) {
        return false;
    }
}

bool StartedProcess::wait_end(unsigned timeout_ms) noexcept {
    if (ended_) return true;
    if (watch_ == kInvalidHandle) return false;
    const HANDLE process = reinterpret_cast<HANDLE>(watch_);
    if (::WaitForSingleObject(process, timeout_ms) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code)) {
        close_handle(watch_);  // nothing more can be learnt
        return false;
    }
    ended_ = true;
    status_ = code;
    return true;
}

std::string StartedProcess::error_tail(std::size_t max, bool& whole) const {
    whole = true;
    const HANDLE file = reinterpret_cast<HANDLE>(errors_);
    LARGE_INTEGER size{};
    if (errors_ == kInvalidHandle || !::GetFileSizeEx(file, &size) || size.QuadPart <= 0) return {};
    const auto total = static_cast<std::uint64_t>(size.QuadPart);
    const std::size_t n = total < max ? static_cast<std::size_t>(total) : max;
    whole = n == total;
    std::string out(n, '\0');
    // Read at an offset; the file position is the Terminal's, which has ended.
    OVERLAPPED at{};
    const std::uint64_t from = total - n;
    at.Offset = static_cast<DWORD>(from);
    at.OffsetHigh = static_cast<DWORD>(from >> 32);
    DWORD got = 0;
    if (!::ReadFile(file, out.data(), static_cast<DWORD>(n), &got, &at)) got = 0;
    out.resize(got);
    return out;
}

void StartedProcess::release() noexcept {
    close_handle(watch_);
    close_handle(errors_);
    ended_ = signalled_ = false;
    status_ = 0;
}

std::u16string parent_executable() {
    const DWORD parent = parent_process_id();
    if (parent == 0) return {};
    const OwnedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent));
    if (!process.valid()) return {};
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!::QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size)) return {};
    return units({buffer.data(), size});
}

std::u16string own_executable() {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    while (buffer.size() <= 32768) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return units({buffer.data(), n});
        buffer.resize(buffer.size() * 2);  // cut: try a larger buffer
    }
    return {};
}

}  // namespace qvn::platform
