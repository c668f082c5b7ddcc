// Owned Win32 handles: closed exactly once, when their owner goes. Most
// handles close with CloseHandle; a file search closes with FindClose. Both
// "no handle" values of the system (null from OpenProcess and friends,
// INVALID_HANDLE_VALUE from CreateFileW and friends) count as empty.
#pragma once

#include <windows.h>

namespace qvn::platform::win32 {

// The closers are types rather than the functions themselves: the address of
// a function imported from a DLL is no constant a template may take.
struct CloseWithCloseHandle {
    void operator()(HANDLE h) const noexcept { ::CloseHandle(h); }
};
struct CloseWithFindClose {
    void operator()(HANDLE h) const noexcept { ::FindClose(h); }
};

template <class Close>
class BasicHandle {
public:
    BasicHandle() = default;
    explicit BasicHandle(HANDLE h) noexcept : h_(h) {}
    BasicHandle(const BasicHandle&) = delete;
    BasicHandle& operator=(const BasicHandle&) = delete;
    BasicHandle(BasicHandle&& o) noexcept : h_(o.release()) {}
    BasicHandle& operator=(BasicHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~BasicHandle() { reset(); }

    HANDLE get() const noexcept { return h_; }
    bool valid() const noexcept { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const noexcept { return valid(); }

    HANDLE release() noexcept {
        const HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    void reset(HANDLE h = nullptr) noexcept {
        if (valid()) Close{}(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

using OwnedHandle = BasicHandle<CloseWithCloseHandle>;
using FindHandle = BasicHandle<CloseWithFindClose>;

}  // namespace qvn::platform::win32
