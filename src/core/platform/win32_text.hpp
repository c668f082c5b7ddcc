// UTF-16 paths to and from the wide strings of the Win32 calls. wchar_t is
// 16 bits on Windows, so the conversion copies units and never changes them.
#pragma once

#include "protocol/sha256.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace qvn::platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline std::wstring wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

inline std::u16string units(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

// UTF-8 for messages, from a wide text of the system.
std::string narrow(std::wstring_view text);

// SHA-256 through the system's CryptoAPI; false when the service fails.
bool sha256(const void* data, unsigned long size, protocol::Digest& out) noexcept;

}  // namespace qvn::platform::win32
