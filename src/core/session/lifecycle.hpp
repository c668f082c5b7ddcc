// The steps of opening a connection that initialize and the start of an
// in-process Terminal share, on the module's connection (link::client()).
#pragma once

#include <cstdint>

namespace qvn::session {

// The handshake; records the Terminal's build. The Terminal's result code.
std::int32_t handshake() noexcept;

// Polls readiness: the first poll at once, then every 100 ms until the
// Terminal is ready, refuses the account, or `deadline` (platform::
// monotonic_ms) passes.
std::int32_t wait_ready(std::uint64_t deadline) noexcept;

}  // namespace qvn::session
