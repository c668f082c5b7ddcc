// What taking one of the Terminal's file locks can come to: the instance
// lock (one Terminal per executable path, instance_lock.hpp) and the store
// lock (one Terminal per trading store, store_guard.hpp), and the system
// pieces both take their files with.
#pragma once

#include <string>

#include "platform/platform.hpp"

namespace qvn::terminal {

enum class LockResult { Acquired, Held, Failed };

#ifdef _WIN32
// The wide form of a UTF-8 path, for the system's calls.
std::wstring wide_path(const std::string& utf8);
#else
// Takes an exclusive flock on `fd` (the file at `path`) without
// waiting, retrying when a signal interrupts. Held when another process
// holds it; Failed with `why` set on any other error.
LockResult try_flock(platform::Handle fd, const std::string& path, std::string& why);
#endif

}  // namespace qvn::terminal
