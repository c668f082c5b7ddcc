// Serving clients: one thread per connection, each in strict
// request/response alternation; the main thread accepts, reaps finished
// sessions and watches for shutdown (a stop request, or the idle limit).
// The accept loop is the system's (server.cpp for sockets, win32_serve.cpp
// for named pipes); a session (session.cpp) is the same everywhere.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {

// Request bodies above this are refused by dropping the client: no command
// takes more than a few kilobytes of arguments.
inline constexpr std::uint32_t kMaxRequestBytes = 64u << 20;
inline constexpr std::size_t kMaxClients = 64;

// Serves `listener` (kInvalidHandle: serve nobody, only wait) until
// `stop_fd` becomes ready (see StopRequest) or no client has been connected
// for `idle_exit_s` seconds (0 = never). Joins every session before
// returning. `endpoint_path` is what listen_endpoint returned with the
// listener: a named pipe takes a new instance per client under that name.
void serve(Terminal& terminal, platform::Handle listener, const std::string& endpoint_path,
           platform::Handle stop_fd, std::uint32_t idle_exit_s);

// Serves one connected client until it disconnects or breaks the protocol.
// Never throws.
void serve_client(Terminal& terminal, platform::Handle fd) noexcept;

}  // namespace qvn::terminal
