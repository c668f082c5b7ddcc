// One client's session: request frames in, response frames out, in strict
// alternation, over whatever stream the system's accept loop handed over.
#include "terminal/server/session.hpp"

#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/server/server.hpp"

namespace qvn::terminal {
namespace {

// Writes responses to the client and notes the result code of each one, so
// the session knows when a handshake succeeded.
class StreamSink final : public Sink {
public:
    explicit StreamSink(platform::Handle fd) : fd_(fd) {}

    void expect_response() noexcept {
        fresh_ = true;
        result_ = 0;
    }
    std::int32_t result() const noexcept { return result_; }

    bool write(std::span<const std::byte> bytes) override {
        // Every response's first write holds at least length, echo and result.
        if (fresh_ && bytes.size() >= 12) std::memcpy(&result_, bytes.data() + 8, sizeof result_);
        fresh_ = false;
        return platform::write_all(fd_, bytes.data(), bytes.size()) == platform::Io::Ok;
    }
    bool write_pieces(std::span<const std::span<const std::byte>> pieces) override {
        platform::IoPiece parts[4];
        if (pieces.size() > std::size(parts)) return Sink::write_pieces(pieces);
        for (std::size_t i = 0; i < pieces.size(); ++i) parts[i] = {pieces[i].data(), pieces[i].size()};
        if (fresh_ && !pieces.empty() && pieces[0].size() >= 12) std::memcpy(&result_, pieces[0].data() + 8, sizeof result_);
        fresh_ = false;
        return platform::write_all(fd_, parts, pieces.size()) == platform::Io::Ok;
    }

private:
    platform::Handle fd_;
    bool fresh_ = false;
    std::int32_t result_ = 0;
};

}  // namespace

void serve_client(Terminal& terminal, platform::Handle fd, SessionState& s, const Limits& limits) noexcept {
    try {
        StreamSink sink(fd);
        Exchange exchange(sink);
        ClientState client(terminal);  // released when the connection ends
        // Never larger than kMaxRequestBytes: the frame length is checked
        // before the body is given room.
        std::vector<std::byte> body;
        for (;;) {
            s.enter(Phase::Waiting);
            const Clock::time_point idle_until =
                s.greeted.load(std::memory_order_acquire) ? kNever : Clock::now() + limits.handshake;
            // The frame begins with its first byte. Reading it still counts
            // as waiting: a greeted client's idle session sits in this read
            // (where it is the wait itself) and must not look like a
            // stalled frame.
            unsigned char head[sizeof(std::uint32_t)];
            std::size_t got = 0;
            if (receive_first(fd, head, sizeof head, got, idle_until, s) != Rx::Ok) return;

            s.enter(Phase::Receiving);
            const Clock::time_point frame_until = Clock::now() + limits.frame;
            if (got < sizeof head && receive(fd, head + got, sizeof head - got, frame_until) != Rx::Ok) return;
            std::uint32_t length = 0;
            std::memcpy(&length, head, sizeof length);
            // Too short to hold a command, or longer than any request: not a
            // client of ours. Dropping it is the only safe answer.
            if (length < 4 || length > kMaxRequestBytes) return;
            body.resize(length);
            if (receive(fd, body.data(), length, frame_until) != Rx::Ok) return;

            s.enter(Phase::Answering);
            std::uint32_t command = 0;
            std::memcpy(&command, body.data(), sizeof command);
            sink.expect_response();
            if (!terminal.handle(body, exchange, client)) return;
            if (command == wire::kHandshake && sink.result() >= 0) s.greeted.store(true, std::memory_order_release);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "terminal64: client dropped: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "terminal64: client dropped\n");
    }
}

}  // namespace qvn::terminal
