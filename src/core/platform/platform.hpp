// The operating-system layer. Everything the link needs from the OS goes
// through these functions, so another backend only has to provide this file's
// declarations. Paths and names are UTF-16 like the rest of the link; the
// backend converts them to what its system calls take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/endpoint.hpp"
#include "protocol/sha256.hpp"

namespace qvn::platform {

// ---- What differs between systems ----------------------------------------

#if defined(_WIN32)
using Handle = std::intptr_t;  // the value of a HANDLE; INVALID_HANDLE_VALUE is -1
inline constexpr char16_t kPathSeparator = u'\\';
inline constexpr std::u16string_view kExecutableSuffix = u".exe";
#else
using Handle = int;            // a file descriptor
inline constexpr char16_t kPathSeparator = u'/';
inline constexpr std::u16string_view kExecutableSuffix = u"";
#endif
inline constexpr Handle kInvalidHandle = -1;

// True for every unit this system's paths accept as a separator.
constexpr bool is_separator(char16_t unit) noexcept {
    return unit == u'/' || (kPathSeparator == u'\\' && unit == u'\\');
}

// ---- Connection handles ---------------------------------------------------

enum class Io {
    Ok,      // every byte was transferred
    Broken,  // the peer is gone (reset, closed, end of stream)
    Failed,  // any other failure of the system call
};

// Transfers exactly `n` bytes, looping over the short transfers a stream
// allows and retrying interrupted calls. Writing never raises a signal when
// the peer has gone.
Io write_all(Handle h, const void* data, std::size_t n) noexcept;
// The same of `count` pieces one after another, gathered into one system
// call where the system has one (a large reply part of which lies ready in
// memory goes out without being copied first).
struct IoPiece {
    const void* data = nullptr;
    std::size_t n = 0;
};
Io write_all(Handle h, const IoPiece* pieces, std::size_t count) noexcept;
Io read_all(Handle h, void* data, std::size_t n) noexcept;

// Transfer what can be transferred at once, without waiting, in one system
// call: `moved` gets the bytes moved (maybe none, as when nothing has
// arrived yet; a read takes at most 64 KiB). A caller that needs the rest then waits for it with
// read_all/write_all. Backends that cannot tell move nothing here.
Io read_now(Handle h, void* data, std::size_t n, std::size_t& moved) noexcept;

// Waits until bytes have arrived and takes what is there, up to `n`, in one
// system call: `moved` gets at least 1 when Ok.
Io read_some(Handle h, void* data, std::size_t n, std::size_t& moved) noexcept;
Io write_now(Handle h, const void* data, std::size_t n, std::size_t& moved) noexcept;

// True when the peer of a connected handle has closed its end or the
// connection failed; it does not wait.
bool peer_closed(Handle h) noexcept;

// Whether write_now to a peer that has gone fails at once. Where it does, a
// caller learns that the peer has gone from its request's first send and
// asks peer_closed only then, sparing a system call on every request.
#if defined(_WIN32)
inline constexpr bool kSendShowsClosedPeer = false;  // write_now moves nothing there
#else
inline constexpr bool kSendShowsClosedPeer = true;
#endif

// Waits at most `timeout_ms` until a transfer on `h` can go on without
// waiting: bytes have arrived (or the peer has gone) for a read, or there
// is room for a write. False when the time ran out first; true also when the
// handle failed, which the transfer then reports. Another thread's
// interrupt_transfers may end the wait early or not (a caller that must
// notice it waits in short slices).
bool wait_transfer(Handle h, bool write, unsigned timeout_ms) noexcept;

// Closes a valid handle and sets it to kInvalidHandle.
void close_handle(Handle& h) noexcept;

// Called from another thread: makes a transfer blocked on `h` fail now, and
// (on POSIX, where the socket is shut down) every later one too. The handle
// stays valid until its owner closes it.
void interrupt_transfers(Handle h) noexcept;

// Owns a handle for the length of a scope.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle h) noexcept : h_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) { reset(); h_ = o.release(); }
        return *this;
    }
    ~UniqueHandle() { reset(); }
    Handle get() const noexcept { return h_; }
    bool valid() const noexcept { return h_ != kInvalidHandle; }
    Handle release() noexcept { Handle h = h_; h_ = kInvalidHandle; return h; }
    void reset() noexcept { close_handle(h_); }

private:
    Handle h_ = kInvalidHandle;
};

// ---- Endpoints ------------------------------------------------------------

// The private folder that holds the endpoints of this user's Terminals:
// $XDG_RUNTIME_DIR, else /tmp/qvn-<uid> (created with mode 0700). A folder
// that is not owned by the user or that group or others may write is refused.
// Returns false with `why` set when no safe folder is available. Named pipes
// need no folder: on Windows this is the user's temporary folder, which only
// holds the Terminal's instance lock.
bool endpoint_folder(std::string& out, std::string& why);

// Where the endpoint `name` lives: its socket in the endpoint folder
// `folder`, or on Windows its pipe name (the folder plays no part).
std::string endpoint_location(std::string_view folder, std::string_view name);

enum class Connect {
    Ok,
    Absent,   // nobody serves the endpoint
    Refused,  // the endpoint exists but may not be used (foreign owner, unsafe folder)
    Busy,     // it is served, but takes no new client within the wait
};

// Connects to the endpoint `name` in the endpoint folder. On Ok, `out` holds
// the connected handle (close-on-exec); the peer has been checked to run as
// this user. A server that takes no new client at the moment (its queue of
// clients is full, or on Windows every pipe instance is taken, as when the
// Terminal is stopped or hung) is waited for at most `busy_wait_ms`.
Connect connect_endpoint(std::string_view name, Handle& out, unsigned busy_wait_ms) noexcept;

// Why connect_endpoint answered Refused for `name`, in words for the user:
// the folder or the endpoint path that cannot be used, else a peer that runs
// as another user.
std::string refusal_reason(std::string_view name);

// For the Terminal: binds and listens on the endpoint `name`, replacing a
// stale endpoint that nobody serves. Returns kInvalidHandle with `why` set on
// failure. `path` receives the file-system path of the endpoint. On Windows
// the handle is the pipe's first instance, made so that no other process can
// already own the name, and `path` is the full pipe name.
Handle listen_endpoint(std::string_view name, std::string& path, std::string& why);

#if defined(_WIN32)
// Every client of a named pipe takes an instance of its own: the Terminal
// offers the next one under the name listen_endpoint returned in `path`.
Handle add_endpoint_instance(const std::string& path, std::string& why);
#endif

// Removes what listen_endpoint left in the file system (nothing on Windows).
void remove_endpoint(const std::string& path) noexcept;

// ---- Files and folders ----------------------------------------------------

// The resolved absolute path of an existing file; empty when it cannot be
// resolved.
std::u16string resolve_path(std::u16string_view path);

// The digest an endpoint is named after: the SHA-256 of the final path,
// lower-cased the way this system compares paths (on Windows the system's
// own lower-casing, as every Terminal there does; elsewhere the protocol's
// fixed table), as UTF-16LE without a terminator. False when the system's
// hashing service fails (Windows hashes through CryptoAPI).
bool endpoint_digest(std::u16string_view final_path, protocol::Digest& out) noexcept;

// The user's roaming data folder: $XDG_DATA_HOME, else $HOME/.local/share;
// on Windows the known folder RoamingAppData. Empty when there is none.
std::u16string roaming_folder();

// The folder holding the data folders of this user's Terminals:
// <roaming>/Belvastor/Terminal; empty when there is no roaming folder.
inline std::u16string terminals_folder() {
    std::u16string folder = roaming_folder();
    if (folder.empty()) return folder;
    for (std::u16string_view part : {protocol::kVendorFolder, protocol::kTerminalsFolder}) {
        folder += kPathSeparator;
        folder += part;
    }
    return folder;
}

struct FileInfo {
    bool exists = false;
    bool directory = false;
    bool executable = false;
    std::uint64_t write_time = 0;  // nanoseconds since 1970, 0 when unknown
    // Owned by this user (or the system's administrator) and writable by
    // nobody else: another user cannot have put it there or changed it.
    bool trusted = true;
};
FileInfo file_info(std::u16string_view path) noexcept;

struct DirEntry {
    std::u16string name;
    bool directory = false;
};
// The entries of a folder ("." and ".." excluded); false when it cannot be read.
bool list_folder(std::u16string_view path, std::vector<DirEntry>& out);

// Reads at most `max` bytes from the start of a file; false when it cannot be
// opened or read.
bool read_file_prefix(std::u16string_view path, void* buffer, std::size_t max, std::size_t& got) noexcept;

// ---- Processes ------------------------------------------------------------

// A Terminal this process starts, watched while the caller waits for it to
// open its endpoint. The Terminal runs detached (own session, no console,
// standard input and output on the null device, no inherited descriptors)
// and outlives this process; its standard error goes to an unnamed file in
// the endpoint folder (on Windows a file deleted with its last handle), read
// only if it ends while watched: never a pipe it could block on or die
// writing to later. Releasing (or destroying) the
// watch leaves the Terminal running and no zombie behind.
class StartedProcess {
public:
    StartedProcess() = default;
    StartedProcess(const StartedProcess&) = delete;
    StartedProcess& operator=(const StartedProcess&) = delete;
    ~StartedProcess() { release(); }

    // Starts `path` with the arguments [path] or [path, "/portable"] (on
    // Windows the command line is empty, or the quoted path followed by
    // " /portable"). False when it could not be started, including when the
    // file cannot be executed.
    bool start(std::u16string_view path, bool portable) noexcept;

    // Waits at most `timeout_ms` for the process to end; true once it has
    // ended, with its outcome below. False while it runs, and once the
    // outcome can no longer be learnt (the watch is then over).
    bool wait_end(unsigned timeout_ms) noexcept;
    // Whether wait_end may still learn how it ends.
    bool watching() const noexcept { return watch_ != kInvalidHandle && !ended_; }

    bool ended() const noexcept { return ended_; }
    // Ended by a signal (POSIX): status() is the signal's number; otherwise
    // status() is the exit code.
    bool signalled() const noexcept { return signalled_; }
    std::uint32_t status() const noexcept { return status_; }

    // The last bytes (at most `max`) it wrote to its standard error, read
    // once it has ended; `whole` tells whether they are all it wrote.
    std::string error_tail(std::size_t max, bool& whole) const;

    // Stops watching; the process runs on.
    void release() noexcept;

private:
    Handle watch_ = kInvalidHandle;    // POSIX: the launcher's report pipe; Windows: the process
    Handle control_ = kInvalidHandle;  // POSIX: closing it lets the launcher go
    Handle errors_ = kInvalidHandle;   // the unnamed file holding its standard error
    long launcher_ = 0;                // POSIX: the launcher's pid, reaped on release
    bool ended_ = false;
    bool signalled_ = false;
    std::uint32_t status_ = 0;
};

// The executable of the parent of this process; empty when unknown.
std::u16string parent_executable();

// The executable of this process; empty when unknown.
std::u16string own_executable();

void sleep_ms(unsigned milliseconds) noexcept;

// Milliseconds on a clock that only moves forward (never the wall clock,
// which the user may set back).
std::uint64_t monotonic_ms() noexcept;

// ---- Memory ---------------------------------------------------------------

// A hint that the large block [data, data + bytes) be backed by large pages,
// given for every whole page that holds part of it. A backend without such
// pages does nothing.
void advise_large_pages(void* data, std::size_t bytes) noexcept;

// Large blocks taken from the system directly, in whole pages (`bytes` is a
// multiple of page_size()), so they can be resized without a copy and given
// back at once. map_block's memory is zero and asked to be backed by large
// pages; null when it cannot be had.
std::size_t page_size() noexcept;
void* map_block(std::size_t bytes) noexcept;
// The block resized, its content kept up to the smaller size: shrinking gives
// the tail back in place, growing may move the block. Null, with the block
// left as it was, when that cannot be done.
void* remap_block(void* data, std::size_t old_bytes, std::size_t new_bytes) noexcept;
void unmap_block(void* data, std::size_t bytes) noexcept;

}  // namespace qvn::platform
