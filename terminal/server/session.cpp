// One client's session: request frames in, response frames out, in strict
// alternation, over whatever stream the system's accept loop handed over.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "terminal/server/server.hpp"

namespace qvn::terminal {
namespace {

class StreamSink final : public Sink {
public:
    explicit StreamSink(platform::Handle fd) : fd_(fd) {}
    bool write(std::span<const std::byte> bytes) override {
        return platform::write_all(fd_, bytes.data(), bytes.size()) == platform::Io::Ok;
    }

private:
    platform::Handle fd_;
};

// Reads a body of `length` bytes, growing the buffer as bytes arrive: a
// client that announces a large frame and sends little holds little memory.
bool read_body(platform::Handle fd, std::uint32_t length, std::vector<std::byte>& body) {
    body.clear();
    while (body.size() < length) {
        const std::size_t have = body.size();
        const std::size_t step = std::min<std::size_t>(length - have, std::max<std::size_t>(have, 65536));
        body.resize(have + step);
        if (platform::read_all(fd, body.data() + have, step) != platform::Io::Ok) return false;
    }
    return true;
}

}  // namespace

void serve_client(Terminal& terminal, platform::Handle fd) noexcept {
    try {
        StreamSink sink(fd);
        Exchange exchange(sink);
        std::vector<std::byte> body;
        for (;;) {
            std::uint32_t length = 0;
            if (platform::read_all(fd, &length, sizeof length) != platform::Io::Ok) return;
            // Too short to hold a command, or absurdly long: not a client of
            // ours. Dropping it is the only safe answer.
            if (length < 4 || length > kMaxRequestBytes) return;
            if (!read_body(fd, length, body)) return;
            if (!terminal.handle(body, exchange)) return;
            if (body.capacity() > (1u << 20)) std::vector<std::byte>().swap(body);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "terminal64: client dropped: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "terminal64: client dropped\n");
    }
}

}  // namespace qvn::terminal
