// The link's second kind: a peer in this process. The same request frames
// the socket carries are handed to the peer by a function call, and its
// reply frame is read back from memory; the framed stream above (stream.hpp)
// and every command's reader are the same for both kinds, only the transfer
// underneath differs. Nothing waits: a request is answered before the call
// that completed it returns, so a reply is whole by the time it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/platform.hpp"

namespace qvn::link {

class LocalPeer {
public:
    LocalPeer() = default;
    virtual ~LocalPeer() = default;
    LocalPeer(const LocalPeer&) = delete;
    LocalPeer& operator=(const LocalPeer&) = delete;

    // Takes the next `n` bytes of requests; each request frame, once whole,
    // is answered before this returns. False once the peer is broken: a
    // frame shorter than its command or longer than any request, or a
    // request the peer could not answer (as a Terminal drops such a client).
    bool write(const void* data, std::size_t n) noexcept;

    // Moves reply bytes, as platform::read_some and read_all do on a socket;
    // Broken when the reply holds fewer bytes than asked for (the peer
    // answers each request with one whole frame, so there is nothing more
    // to wait for) or the peer is broken.
    platform::Io read_some(void* data, std::size_t n, std::size_t& moved) noexcept;
    platform::Io read_all(void* data, std::size_t n) noexcept;

    // The most a request frame's length field may give, as the Terminal's
    // server takes it (terminal/server/server.hpp).
    static constexpr std::uint32_t kMaxRequestBytes = 64u << 10;

protected:
    // Answers one request, `body` being its command and arguments, with
    // exactly one reply frame through reply(); false when it cannot.
    virtual bool answer(std::span<const std::byte> body) noexcept = 0;
    // Adds bytes of the reply being written; false when they cannot be kept.
    bool reply(std::span<const std::byte> bytes) noexcept;

private:
    bool answer_frames(const std::byte* data, std::size_t n) noexcept;
    void consumed() noexcept;

    std::vector<std::byte> request_;  // a request frame begun and not yet whole
    std::vector<std::byte> reply_;    // the reply, read from `read_` on
    std::size_t read_ = 0;
    bool broken_ = false;
};

}  // namespace qvn::link
