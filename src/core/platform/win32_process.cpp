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

}  // namespace

bool spawn_detached(std::u16string_view path, bool portable) noexcept {
    try {
        const std::wstring application = wide(path);
        // The command line is the quoted path and the switch, whole: a line
        // cut to fit a fixed buffer would start the Terminal without
        // "/portable".
        std::wstring command;
        if (portable) command = L"\"" + application + L"\" /portable";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = INVALID_HANDLE_VALUE;
        PROCESS_INFORMATION process{};
        // No inherited handles; detached from this console, so the user's
        // Ctrl+C or a closed console window does not stop the Terminal.
        if (!::CreateProcessW(application.c_str(), portable ? command.data() : nullptr, nullptr, nullptr, FALSE,
                              DETACHED_PROCESS, nullptr, nullptr, &startup, &process))
            return false;
        // Nothing waits for the Terminal: its handles go at once.
        const OwnedHandle thread(process.hThread);
        const OwnedHandle started(process.hProcess);
        return true;
    } catch (...) {
        return false;
    }
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
