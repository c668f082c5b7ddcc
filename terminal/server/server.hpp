// Serving clients: one thread per connection, each in strict
// request/response alternation; the main thread accepts, reaps finished
// sessions, keeps room for new clients and watches for shutdown (a stop
// request, or the idle limit). The accept loop is the system's (posix_serve.cpp
// for sockets, win32_serve.cpp for named pipes); a session (session.cpp) is
// the same everywhere.
#pragma once

#include <cstdint>
#include <string>

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
// `stop_fd` becomes ready (see StopRequest) or no client has been connected
// for `idle_exit_s` seconds (0 = never). Joins every session before
// returning. `endpoint_path` is what listen_endpoint returned with the
// listener: a named pipe takes a new instance per client under that name.
// The client limits come from the Terminal's settings.
void serve(Terminal& terminal, platform::Handle listener, const std::string& endpoint_path,
           platform::Handle stop_fd, std::uint32_t idle_exit_s);

}  // namespace qvn::terminal
