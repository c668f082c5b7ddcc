#include "memory_pipe.hpp"

#include <cstdlib>
#include <cstring>

namespace qvn::fuzz {
namespace {

MemoryPipe g_pipe;

// A transfer on a handle that is not the open connection is a fault of the
// code under test (a closed handle used again), not of its input.
void check_handle(platform::Handle h) noexcept {
    if (h != kMemoryHandle || !g_pipe.open) std::abort();
}

}  // namespace

MemoryPipe& pipe() noexcept { return g_pipe; }

platform::Handle open_pipe(std::span<const std::uint8_t> incoming) noexcept {
    g_pipe.incoming = incoming;
    g_pipe.taken = 0;
    g_pipe.sent.clear();
    g_pipe.open = true;
    g_pipe.closes = 0;
    return kMemoryHandle;
}

}  // namespace qvn::fuzz

namespace qvn::platform {

using fuzz::g_pipe;

Io write_all(Handle h, const void* data, std::size_t n) noexcept {
    fuzz::check_handle(h);
    const auto* p = static_cast<const std::uint8_t*>(data);
    g_pipe.sent.insert(g_pipe.sent.end(), p, p + n);
    return Io::Ok;
}

// Like a socket whose peer wrote `incoming` and then closed its end: a read
// beyond the end delivers what is left and reports the connection broken.
Io read_all(Handle h, void* data, std::size_t n) noexcept {
    fuzz::check_handle(h);
    const std::size_t left = g_pipe.incoming.size() - g_pipe.taken;
    const std::size_t k = n < left ? n : left;
    if (k != 0) std::memcpy(data, g_pipe.incoming.data() + g_pipe.taken, k);
    g_pipe.taken += k;
    return k == n ? Io::Ok : Io::Broken;
}

Io read_now(Handle h, void* data, std::size_t n, std::size_t& moved) noexcept {
    fuzz::check_handle(h);
    const std::size_t left = g_pipe.incoming.size() - g_pipe.taken;
    moved = n < left ? n : left;
    if (moved != 0) std::memcpy(data, g_pipe.incoming.data() + g_pipe.taken, moved);
    g_pipe.taken += moved;
    return Io::Ok;
}

Io read_some(Handle h, void* data, std::size_t n, std::size_t& moved) noexcept {
    read_now(h, data, n, moved);
    return moved != 0 ? Io::Ok : Io::Broken;  // nothing left: the peer has closed its end
}

Io write_now(Handle h, const void* data, std::size_t n, std::size_t& moved) noexcept {
    moved = n;
    return write_all(h, data, n);
}

bool peer_closed(Handle h) noexcept {
    fuzz::check_handle(h);
    return false;  // the unread bytes are still to be taken
}

bool wait_transfer(Handle h, bool, unsigned) noexcept {
    fuzz::check_handle(h);
    return true;  // every byte there is has arrived
}

void close_handle(Handle& h) noexcept {
    if (h == kInvalidHandle) return;
    fuzz::check_handle(h);
    g_pipe.open = false;
    ++g_pipe.closes;
    h = kInvalidHandle;
}

void interrupt_transfers(Handle h) noexcept { fuzz::check_handle(h); }

void sleep_ms(unsigned) noexcept {}

std::uint64_t monotonic_ms() noexcept { return 1; }  // no call here has a deadline

}  // namespace qvn::platform
