// A stand-in for the platform's stream transfers: one connection whose
// incoming bytes are a fixed buffer (the fuzzer's input) and whose outgoing
// bytes are collected. Linked into fuzz targets instead of the POSIX
// backend's posix_io.cpp, so the module's reader runs without a socket and
// every run is deterministic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/platform.hpp"

namespace qvn::fuzz {

inline constexpr platform::Handle kMemoryHandle = 7;

struct MemoryPipe {
    std::span<const std::uint8_t> incoming;
    std::size_t taken = 0;          // bytes of `incoming` handed to readers
    std::vector<std::uint8_t> sent;
    bool open = false;
    int closes = 0;
};

// The connection the platform functions act on.
MemoryPipe& pipe() noexcept;

// Starts a connection over `incoming`; returns its handle.
platform::Handle open_pipe(std::span<const std::uint8_t> incoming) noexcept;

}  // namespace qvn::fuzz
