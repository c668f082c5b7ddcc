// A small SHA-256 (FIPS 180-4), shared by the module and the Terminal, which
// both derive the endpoint name from a digest of the Terminal's path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qvn::protocol {

using Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    Sha256() noexcept;
    void update(std::span<const std::byte> data) noexcept;
    Digest finish() noexcept;

private:
    void compress(const std::uint8_t* block) noexcept;

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t total_bytes_ = 0;
};

Digest sha256(std::span<const std::byte> data) noexcept;

}  // namespace qvn::protocol
