// Stream transfers over a connected Unix domain socket, and the memory
// hints that go with large transfers.
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/platform.hpp"

namespace qvn::platform {
namespace {

Io classify(int error) noexcept {
    return (error == EPIPE || error == ECONNRESET || error == ENOTCONN) ? Io::Broken : Io::Failed;
}

}  // namespace

Io write_all(Handle h, const void* data, std::size_t n) noexcept {
    auto p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t sent = ::send(h, p, n, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return classify(errno);
        }
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return Io::Ok;
}

Io write_all(Handle h, const IoPiece* pieces, std::size_t count) noexcept {
    constexpr std::size_t kMost = 8;  // pieces a call gathers; more go in later calls
    std::size_t first = 0;  // the first piece not sent in full
    std::size_t done = 0;   // bytes of it sent
    while (first < count) {
        iovec v[kMost];
        std::size_t used = 0;
        for (std::size_t i = first; i < count && used < kMost; ++i) {
            const std::size_t skip = i == first ? done : 0;
            if (pieces[i].n == skip) continue;
            v[used].iov_base = const_cast<char*>(static_cast<const char*>(pieces[i].data) + skip);
            v[used].iov_len = pieces[i].n - skip;
            ++used;
        }
        if (used == 0) return Io::Ok;
        msghdr m{};
        m.msg_iov = v;
        m.msg_iovlen = used;
        const ssize_t sent = ::sendmsg(h, &m, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return classify(errno);
        }
        // Step over what went out: whole pieces, then part of one.
        auto left = static_cast<std::size_t>(sent);
        while (first < count && left >= pieces[first].n - done) {
            left -= pieces[first].n - done;
            ++first;
            done = 0;
        }
        done += left;
    }
    return Io::Ok;
}

Io read_all(Handle h, void* data, std::size_t n) noexcept {
    auto p = static_cast<char*>(data);
    while (n > 0) {
        const ssize_t got = ::recv(h, p, n, 0);
        if (got == 0) return Io::Broken;  // the peer closed its end
        if (got < 0) {
            if (errno == EINTR) continue;
            return classify(errno);
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return Io::Ok;
}

// One system call each. A read is bounded: the kernel keeps copying what
// arrives while it copies, so an unbounded read of a long reply could hold
// the caller here for the whole transfer. A write goes whole when there is
// room (requests are short), so a piece stays one send.
constexpr std::size_t kAtOnce = std::size_t{64} << 10;

Io read_now(Handle h, void* data, std::size_t n, std::size_t& moved) noexcept {
    moved = 0;
    for (;;) {
        const ssize_t got = ::recv(h, data, n < kAtOnce ? n : kAtOnce, MSG_DONTWAIT);
        if (got > 0) {
            moved = static_cast<std::size_t>(got);
            return Io::Ok;
        }
        if (got == 0) return Io::Broken;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Io::Ok : classify(errno);
    }
}

Io read_some(Handle h, void* data, std::size_t n, std::size_t& moved) noexcept {
    moved = 0;
    for (;;) {
        const ssize_t got = ::recv(h, data, n < kAtOnce ? n : kAtOnce, 0);
        if (got > 0) {
            moved = static_cast<std::size_t>(got);
            return Io::Ok;
        }
        if (got == 0) return Io::Broken;
        if (errno != EINTR) return classify(errno);
    }
}

Io write_now(Handle h, const void* data, std::size_t n, std::size_t& moved) noexcept {
    moved = 0;
    for (;;) {
        const ssize_t sent = ::send(h, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            moved = static_cast<std::size_t>(sent);
            return Io::Ok;
        }
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Io::Ok : classify(errno);
    }
}

bool peer_closed(Handle h) noexcept {
    pollfd p{h, POLLRDHUP, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool wait_transfer(Handle h, bool write, unsigned timeout_ms) noexcept {
    pollfd p{h, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    int rc;
    do {
        rc = ::poll(&p, 1, static_cast<int>(timeout_ms));
    } while (rc < 0 && errno == EINTR);
    return rc != 0;  // ready, gone or failed: the transfer tells which
}

void close_handle(Handle& h) noexcept {
    if (h != kInvalidHandle) {
        ::close(h);
        h = kInvalidHandle;
    }
}

void interrupt_transfers(Handle h) noexcept { ::shutdown(h, SHUT_RDWR); }

void sleep_ms(unsigned milliseconds) noexcept {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::uint64_t monotonic_ms() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

// Whole pages, the first and last included: advising only the pages inside
// a block splits its mapping, and a split mapping cannot be remapped larger
// in one piece, so the C allocator would copy it on the next growth.
void advise_large_pages(void* data, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    const long size = ::sysconf(_SC_PAGESIZE);
    if (size <= 0 || data == nullptr || bytes == 0) return;
    const auto page = static_cast<std::uintptr_t>(size);
    const auto at = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = at / page * page;
    const std::uintptr_t end = (at + bytes + page - 1) / page * page;
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

std::size_t page_size() noexcept {
    static const std::size_t size = [] {
        const long n = ::sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<std::size_t>(n) : std::size_t{4096};
    }();
    return size;
}

void* map_block(std::size_t bytes) noexcept {
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) return nullptr;
    advise_large_pages(data, bytes);  // the whole mapping, so it stays one piece
    return data;
}

void* remap_block(void* data, std::size_t old_bytes, std::size_t new_bytes) noexcept {
#ifdef MREMAP_MAYMOVE
    void* moved = ::mremap(data, old_bytes, new_bytes, MREMAP_MAYMOVE);
    return moved == MAP_FAILED ? nullptr : moved;
#else
    if (new_bytes <= old_bytes) {
        if (new_bytes < old_bytes) ::munmap(static_cast<char*>(data) + new_bytes, old_bytes - new_bytes);
        return data;
    }
    void* grown = map_block(new_bytes);
    if (grown == nullptr) return nullptr;
    std::memcpy(grown, data, old_bytes);
    ::munmap(data, old_bytes);
    return grown;
#endif
}

void unmap_block(void* data, std::size_t bytes) noexcept { ::munmap(data, bytes); }

}  // namespace qvn::platform
