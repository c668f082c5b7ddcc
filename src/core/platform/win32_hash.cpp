// SHA-256 from the system's cryptography service (CryptoAPI).
#include <windows.h>
#include <wincrypt.h>

#include "platform/win32_text.hpp"

namespace qvn::platform::win32 {
namespace {

class Provider {
public:
    Provider() noexcept {
        if (!::CryptAcquireContextW(&handle_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) handle_ = 0;
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    ~Provider() {
        if (handle_ != 0) ::CryptReleaseContext(handle_, 0);
    }
    HCRYPTPROV get() const noexcept { return handle_; }

private:
    HCRYPTPROV handle_ = 0;
};

class Hash {
public:
    explicit Hash(HCRYPTPROV provider) noexcept {
        if (!::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &handle_)) handle_ = 0;
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    ~Hash() {
        if (handle_ != 0) ::CryptDestroyHash(handle_);
    }
    HCRYPTHASH get() const noexcept { return handle_; }

private:
    HCRYPTHASH handle_ = 0;
};

}  // namespace

bool sha256(const void* data, unsigned long size, protocol::Digest& out) noexcept {
    const Provider provider;
    if (provider.get() == 0) return false;
    const Hash hash(provider.get());
    if (hash.get() == 0) return false;
    if (!::CryptHashData(hash.get(), static_cast<const BYTE*>(data), size, 0)) return false;
    DWORD length = static_cast<DWORD>(out.size());
    return ::CryptGetHashParam(hash.get(), HP_HASHVAL, out.data(), &length, 0) && length == out.size();
}

}  // namespace qvn::platform::win32
