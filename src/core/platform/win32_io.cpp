// Stream transfers over a connected named pipe (byte mode, synchronous).
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/platform.hpp"

namespace qvn::platform {
namespace {

HANDLE native(Handle h) noexcept { return reinterpret_cast<HANDLE>(h); }

// One call moves at most this much, so the count always fits a DWORD.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

Io classify(DWORD error) noexcept {
    switch (error) {
        case ERROR_BROKEN_PIPE:         // the server closed its end
        case ERROR_NO_DATA:             // the pipe is being closed
        case ERROR_PIPE_NOT_CONNECTED:  // the server disconnected this instance
            return Io::Broken;
        default:
            return Io::Failed;
    }
}

}  // namespace

Io write_all(Handle h, const void* data, std::size_t n) noexcept {
    auto p = static_cast<const char*>(data);
    while (n > 0) {
        DWORD sent = 0;
        const DWORD want = static_cast<DWORD>(std::min(n, kMaxChunk));
        if (!::WriteFile(native(h), p, want, &sent, nullptr)) return classify(::GetLastError());
        if (sent == 0) return Io::Failed;
        p += sent;
        n -= sent;
    }
    return Io::Ok;
}

Io write_all(Handle h, const IoPiece* pieces, std::size_t count) noexcept {
    // A pipe has no gathered write: the pieces are copied into one buffer
    // and written at once, or written one by one when there is no room.
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += pieces[i].n;
    try {
        std::vector<char> joined(total);
        std::size_t at = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (pieces[i].n != 0) std::memcpy(joined.data() + at, pieces[i].data, pieces[i].n);
            at += pieces[i].n;
        }
        return write_all(h, joined.data(), total);
    } catch (...) {
    }
    for (std::size_t i = 0; i < count; ++i)
        if (const Io r = write_all(h, pieces[i].data, pieces[i].n); r != Io::Ok) return r;
    return Io::Ok;
}

Io read_some(Handle h, void* data, std::size_t n, std::size_t& moved) noexcept {
    moved = 0;
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min(n, kMaxChunk));
    if (!::ReadFile(native(h), data, want, &got, nullptr)) return classify(::GetLastError());
    if (got == 0) return Io::Broken;  // end of stream: the peer closed its end
    moved = got;
    return Io::Ok;
}

Io read_all(Handle h, void* data, std::size_t n) noexcept {
    auto p = static_cast<char*>(data);
    while (n > 0) {
        std::size_t got = 0;
        if (const Io io = read_some(h, p, n, got); io != Io::Ok) return io;
        p += got;
        n -= got;
    }
    return Io::Ok;
}

// A synchronous pipe cannot transfer without the chance of waiting, and
// asking it first costs more than the wait's hand-over: nothing moves here,
// the caller's wait moves it all.
Io read_now(Handle, void*, std::size_t, std::size_t& moved) noexcept {
    moved = 0;
    return Io::Ok;
}

Io write_now(Handle, const void*, std::size_t, std::size_t& moved) noexcept {
    moved = 0;
    return Io::Ok;
}

bool peer_closed(Handle h) noexcept {
    DWORD available = 0;
    if (::PeekNamedPipe(native(h), nullptr, 0, nullptr, &available, nullptr)) return false;
    return classify(::GetLastError()) == Io::Broken;
}

// A synchronous pipe cannot be waited on for readability: it is asked how
// many bytes wait in it, at short intervals. Used only where a transfer has
// a deadline (initialize's few small replies), so the polling costs little.
// A write of such a request fits the pipe's buffer and never waits.
bool wait_transfer(Handle h, bool write, unsigned timeout_ms) noexcept {
    if (write) return true;
    const ULONGLONG until = ::GetTickCount64() + timeout_ms;
    for (DWORD pause = 1;; pause = std::min<DWORD>(pause * 2, 16)) {
        DWORD available = 0;
        if (!::PeekNamedPipe(native(h), nullptr, 0, nullptr, &available, nullptr) || available != 0) return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= until) return false;
        ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pause, until - now)));
    }
}

void close_handle(Handle& h) noexcept {
    if (h != kInvalidHandle) {
        ::CloseHandle(native(h));
        h = kInvalidHandle;
    }
}

// Cancels the synchronous transfer another thread is blocked in on this
// handle; it fails with ERROR_OPERATION_ABORTED. A transfer that starts
// after the call is not affected: the caller wakes again until served.
void interrupt_transfers(Handle h) noexcept { ::CancelIoEx(native(h), nullptr); }

void sleep_ms(unsigned milliseconds) noexcept { ::Sleep(milliseconds); }

std::uint64_t monotonic_ms() noexcept { return ::GetTickCount64(); }

// Large pages on Windows need a privilege ordinary users lack and memory
// reserved up front; the hint is not worth either.
void advise_large_pages(void* data, std::size_t bytes) noexcept {
    (void)data;
    (void)bytes;
}

std::size_t page_size() noexcept {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}

void* map_block(std::size_t bytes) noexcept {
    return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

// A reservation cannot grow in place: a larger block is a new one. A smaller
// one gives its tail's pages back and keeps the reservation.
void* remap_block(void* data, std::size_t old_bytes, std::size_t new_bytes) noexcept {
    if (new_bytes <= old_bytes) {
        if (new_bytes < old_bytes)
            ::VirtualFree(static_cast<char*>(data) + new_bytes, old_bytes - new_bytes, MEM_DECOMMIT);
        return data;
    }
    void* grown = map_block(new_bytes);
    if (grown == nullptr) return nullptr;
    std::memcpy(grown, data, old_bytes);
    ::VirtualFree(data, 0, MEM_RELEASE);
    return grown;
}

void unmap_block(void* data, std::size_t) noexcept { ::VirtualFree(data, 0, MEM_RELEASE); }

}  // namespace qvn::platform
