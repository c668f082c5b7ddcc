// The module's single connection to a Terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "link/channel.hpp"
#include "platform/platform.hpp"
#include "protocol/sha256.hpp"

namespace qvn::link {

inline constexpr std::size_t kDetailUnits = 2048;  // including the terminator

class CInterClient {
public:
    CInterClient() = default;
    CInterClient(const CInterClient&) = delete;
    CInterClient& operator=(const CInterClient&) = delete;
    ~CInterClient() { disconnect(); }

    // The connection handle; closed when not connected. The pipe stream
    // holds a reference to it and closes it when the stream fails.
    Channel& handle() noexcept { return channel_; }
    bool connected() const noexcept { return channel_.open(); }

    // Connects to the Terminal whose executable is `path`, starting it when
    // nobody serves its endpoint yet, before `deadline` (platform::
    // monotonic_ms); `limit_ms` is that bound as the caller gave it, for
    // the message. Returns Success; IpcInitializeFailed with init_detail()
    // saying why (an empty path fails at once, without one); or IpcTimeout
    // when the endpoint is served but takes no new client in time. A
    // Terminal started here that ends with a failure is reported at once,
    // with its exit status and the last lines it wrote to its standard
    // error. An interrupt (another thread's initialize or shutdown) ends
    // the wait for a starting Terminal.
    std::int32_t connect_terminal(std::u16string_view path, bool portable, std::uint64_t deadline,
                                  std::uint32_t limit_ms);

    // Closes the connection and forgets the digest and the failure detail.
    void disconnect() noexcept;

    std::u16string_view init_detail() const noexcept;
    void set_detail(std::u16string_view text) noexcept;
    void set_detail(std::string_view ascii) noexcept;

    const protocol::Digest& pipe_hash() const noexcept { return pipe_hash_; }

    // The Terminal's build from the last handshake; 0 before the first one.
    // It outlives a disconnect: it describes the Terminal last spoken to.
    std::uint32_t terminal_build() const noexcept { return terminal_build_; }
    void set_terminal_build(std::uint32_t build) noexcept { terminal_build_ = build; }

private:
    Channel channel_;
    protocol::Digest pipe_hash_{};
    std::uint32_t terminal_build_ = 0;
    char16_t init_detail_[kDetailUnits] = {};
};

CInterClient& client() noexcept;

// The normalised form of an executable path: the resolved absolute path when
// it fits `capacity` units, otherwise the path as given, cut to `capacity`.
std::u16string final_path(std::u16string_view path, std::size_t capacity);

}  // namespace qvn::link
