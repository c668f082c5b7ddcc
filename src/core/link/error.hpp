// The process-wide last error: a result code and a UTF-8 message, recorded by
// every module function and returned by last_error().
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvn::link {

inline constexpr std::size_t kMessageBytes = 2048;  // including the terminator

struct ErrorState {
    std::int32_t code = 0;
    bool success = false;  // code and message are those reset_error() sets
    char message[kMessageBytes] = {};
};

// (1, "Success"); every function that talks to the Terminal starts with it.
void reset_error() noexcept;

// Records `code` with `text`, or with the table text of the code when `text`
// is null. Never fails; a long text is cut at a character boundary.
void set_error(std::int32_t code, const char* text = nullptr) noexcept;

std::int32_t error_code() noexcept;
const char* error_message() noexcept;

// The setters above write the state of the call in progress (one call at a
// time holds it). A call publishes its outcome as it finishes; last_error()
// reads what was published last, so it reports the outcome of the latest
// call to finish, never the state of one still waiting on the Terminal.
void publish_error() noexcept;

// A call made again on the same thread while a call is in progress (a Python
// callback run during the outer call's conversions) records and publishes an
// outcome of its own; the outer call's state is put aside meanwhile, so the
// outer call ends with its own outcome, not the inner one's.
void save_error(ErrorState& into) noexcept;
void restore_error(const ErrorState& from) noexcept;

// The outcome published last: its code, and its message copied into
// `message` (kMessageBytes, terminated).
std::int32_t published_error(char (&message)[kMessageBytes]) noexcept;

}  // namespace qvn::link
