// Serving clients: one thread per connection, each in strict
// request/response alternation; the main thread accepts, reaps finished
// sessions, keeps room for new clients and watches for shutdown (a signal,
// or the idle limit).
#pragma once

#include <cstdint>

#include "platform/platform.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {

// Request bodies above this are refused by dropping the client. The largest
// request of the protocol is a trade request with its texts or a group text
// of 1997 UTF-16 units: a few KiB. With one unfinished request per slot, the
// memory held for requests in flight stays below 2 × max_clients × 64 KiB
// (evicted sessions may linger briefly beside their replacements).
inline constexpr std::uint32_t kMaxRequestBytes = 64u << 10;

// A response write that makes no progress for this long means the client
// stopped reading; it is dropped so its thread and buffers come back.
inline constexpr unsigned kSendStallSeconds = 60;

// Serves `listener` (kInvalidHandle: serve nobody, only wait) until
// `stop_fd` becomes readable or no client has been connected for
// `idle_exit_s` seconds (0 = never). Joins every session before returning.
// The client limits come from the Terminal's settings.
void serve(Terminal& terminal, platform::Handle listener, platform::Handle stop_fd, std::uint32_t idle_exit_s);

}  // namespace qvn::terminal
