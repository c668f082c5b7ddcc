// Unit tests of the framed stream, SHA-256 and UTF-16 helpers, without
// Python: the stream runs over socket pairs inside this process.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "link/stream.hpp"
#include "protocol/sha256.hpp"
#include "protocol/text.hpp"

namespace {

using qvn::link::Channel;
using qvn::link::PipeReader;
using qvn::link::PipeWriter;
using qvn::platform::Handle;
using Bytes = std::vector<std::uint8_t>;

// `a` is the module's end, `b` the Terminal's.
struct Pair {
    Channel a;
    Handle b = -1;
    explicit Pair(int type = SOCK_STREAM) {
        int fds[2];
        if (::socketpair(AF_UNIX, type, 0, fds) == 0) { a.adopt(fds[0]); b = fds[1]; }
        int big = 4 << 20;
        ::setsockopt(a.get(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        ::setsockopt(b, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~Pair() { qvn::platform::close_handle(b); }
};

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return out;
}

// (vector::insert trips a false stringop-overflow warning in GCC 12)
void append(Bytes& out, const Bytes& more) {
    const std::size_t old = out.size();
    out.resize(old + more.size());
    if (!more.empty()) std::memcpy(out.data() + old, more.data(), more.size());
}

void put32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes frame(std::uint32_t echo, std::int32_t result, const Bytes& payload) {
    Bytes out;
    put32(out, static_cast<std::uint32_t>(8 + payload.size()));
    put32(out, echo);
    put32(out, static_cast<std::uint32_t>(result));
    append(out, payload);
    return out;
}

void feed(Handle h, const Bytes& bytes) {
    CHECK(qvn::platform::write_all(h, bytes.data(), bytes.size()) == qvn::platform::Io::Ok);
}

// What a writer sent: the bytes, and the size of each send() when the
// socket keeps packets apart.
Bytes drain(Handle h, std::vector<std::size_t>* sizes = nullptr) {
    Bytes out;
    static std::uint8_t buf[1 << 20];
    for (;;) {
        const ssize_t n = ::recv(h, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        append(out, Bytes(buf, buf + n));
        if (sizes != nullptr) sizes->push_back(static_cast<std::size_t>(n));
    }
    return out;
}

// A request's arguments go through the block; one that does not fit is sent
// as a full block followed by the rest (directly when the rest exceeds a
// block). Pieces that together cross block boundaries keep their bytes in order.
void test_writer_blocks() {
    struct Case { std::vector<std::size_t> pieces; std::vector<std::size_t> sends; };
    const Case cases[] = {
        {{8191}, {8 + 8191}},          {{8192}, {8 + 8192}},
        {{16376}, {16384}},            {{16377}, {16384, 1}},
        {{16384}, {16384, 8}},         {{16385}, {16384, 9}},
        {{16376 + 16384}, {16384, 16384}}, {{16376 + 16385}, {16384, 16385}},
        {{100000}, {16384, 100000 - 16376}}, {{9000, 9000, 9000}, {16384, 8 + 27000 - 16384}},
    };
    for (const Case& c : cases) {
        Pair p(SOCK_SEQPACKET);
        std::uint32_t total = 0;
        for (std::size_t n : c.pieces) total += static_cast<std::uint32_t>(n);
        Bytes want;
        put32(want, 4 + total);
        put32(want, 161);
        PipeWriter w(p.a, 161, total);
        for (std::size_t i = 0; i < c.pieces.size(); ++i) {
            const Bytes piece = pattern(c.pieces[i], static_cast<std::uint8_t>(i + 3));
            append(want, piece);
            CHECK(w.write(piece.data(), piece.size()));
        }
        CHECK(w.flush());
        std::vector<std::size_t> sizes;
        CHECK(drain(p.b, &sizes) == want);
        if (sizes != c.sends) std::fprintf(stderr, "pieces of %u bytes: unexpected send sizes\n", total);
        CHECK(sizes == c.sends);
    }
}

// Fields are handed out in order whatever their size, and a reader never
// takes bytes of the next response. A response that came with the one being
// read answers no request: the connection is closed rather than let the next
// call take it for its answer.
void test_reader_boundaries() {
    const std::size_t sizes[] = {1, 4, 8191, 8192, 16376, 16384, 16385, 50000};
    for (std::size_t first : sizes) {
        for (std::size_t second : {std::size_t{4}, std::size_t{9000}}) {
            Pair p;
            const Bytes a = pattern(first, 1), b = pattern(second, 2);
            Bytes payload = a;
            append(payload, b);
            feed(p.b, frame(7, 1, payload));
            PipeReader r(p.a);
            std::uint32_t echo = 0;
            std::int32_t result = 0;
            Bytes got_a(first), got_b(second);
            CHECK(r.begin() && r.get(echo) && r.get(result));
            CHECK(r.read(got_a.data(), first) && r.read(got_b.data(), second) && r.complete());
            CHECK(got_a == a && got_b == b);
            feed(p.b, frame(8, 1, pattern(3, 9)));
            PipeReader next(p.a);
            Bytes rest(8 + 3);
            CHECK(next.begin() && next.read(rest.data(), rest.size()) && next.complete());
            CHECK(rest[0] == 8);
        }
    }
    Pair p;
    feed(p.b, frame(7, 1, pattern(4, 1)));
    feed(p.b, frame(8, 1, pattern(3, 9)));
    PipeReader r(p.a);
    std::uint32_t echo = 0;
    std::int32_t result = 0;
    Bytes got(4);
    CHECK(r.begin() && r.get(echo) && r.get(result) && r.read(got.data(), 4) && r.complete());
    CHECK(echo == 7 && got == pattern(4, 1));
    CHECK(!p.a.open());
}

// A request that could not be written whole leaves an unknown part of it
// on the wire: the connection is closed, never reused.
void test_failed_write_closes() {
    // The peer is gone before the first byte.
    Pair gone;
    qvn::platform::close_handle(gone.b);
    {
        PipeWriter w(gone.a, 109, 0);
        CHECK(!w.flush());
    }
    CHECK(!gone.a.open());

    // The peer takes part of a large request and leaves.
    Pair q;
    const int small = 64 << 10;  // the request cannot vanish into the buffers
    ::setsockopt(q.a.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(q.b, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const Bytes big = pattern(2 << 20, 3);
    std::thread peer([&q] {
        std::uint8_t some[4096];
        CHECK(qvn::platform::read_all(q.b, some, sizeof some) == qvn::platform::Io::Ok);
        qvn::platform::close_handle(q.b);
    });
    bool ok = true;
    {
        PipeWriter w(q.a, 104, static_cast<std::uint32_t>(big.size()));
        ok = w.write(big.data(), big.size()) && w.flush();
    }
    peer.join();
    CHECK(!ok);
    CHECK(!q.a.open());
}

// Under a call's deadline, a reply that never comes or stops part way ends
// the call at the deadline as a timeout, and the connection is closed (the
// rest of that reply may still come); a reply that comes whole in time is
// read as any other.
void test_deadline() {
    const Bytes reply = frame(109, 1, pattern(5000, 4));
    for (const std::size_t sent : {std::size_t{0}, std::size_t{6}, std::size_t{12 + 3000}, reply.size()}) {
        Pair p;
        feed(p.b, Bytes(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(sent)));
        Bytes got(5000);
        std::int32_t code = 0;
        {
            const qvn::link::CallDeadline bound(p.a, qvn::platform::monotonic_ms() + 100);
            code = qvn::link::send_command(p.a, 109, [&got](PipeReader& r) noexcept {
                return r.read(got.data(), got.size());
            });
            CHECK(p.a.expired() == (sent != reply.size()));
        }
        if (sent == reply.size()) {
            CHECK(code == 1 && got == pattern(5000, 4) && p.a.open());
        } else {
            CHECK(code == qvn::wire::kIpcTimeout && !p.a.open());
        }
        CHECK(p.a.deadline() == 0 && !p.a.expired());  // the bound ends with its scope
    }
}

void test_sha256() {
    using qvn::protocol::hex_upper;
    using qvn::protocol::sha256;
    auto digest = [](std::string_view s) { return hex_upper(sha256(std::as_bytes(std::span(s.data(), s.size())))); };
    CHECK(digest("") == "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    CHECK(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq") ==
          "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1");
    std::string million(1000000, 'a');
    qvn::protocol::Sha256 h;  // fed in uneven pieces
    for (std::size_t i = 0; i < million.size();) {
        const std::size_t n = std::min<std::size_t>(1 + i % 97, million.size() - i);
        h.update(std::as_bytes(std::span(million.data() + i, n)));
        i += n;
    }
    CHECK(hex_upper(h.finish()) == "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0");
}

void test_text() {
    using qvn::protocol::lower_unit;
    CHECK(lower_unit(u'A') == u'a' && lower_unit(u'z') == u'z' && lower_unit(u'[') == u'[');
    CHECK(lower_unit(0xC4) == 0xE4 && lower_unit(0xD7) == 0xD7 && lower_unit(0xDE) == 0xFE);
    CHECK(lower_unit(0x100) == 0x101 && lower_unit(0x139) == 0x13A && lower_unit(0x178) == 0xFF);
    CHECK(lower_unit(0x410) == 0x430 && lower_unit(0x401) == 0x451 && lower_unit(0x391) == 0x3B1);
    CHECK(lower_unit(0xD800) == 0xD800);
    // Messages are always valid UTF-8; escaped path bytes round-trip.
    CHECK(qvn::protocol::utf16_to_utf8(u"a\xD800z") == "a\xEF\xBF\xBDz");
    const std::string raw = "/tmp/\xFF\xC3\xA9";
    CHECK(qvn::protocol::utf16_to_path(qvn::protocol::path_to_utf16(raw)) == raw);
    // Only U+DC80..U+DCFF stand for escaped bytes: a lone U+DC41 is no "A".
    CHECK(qvn::protocol::utf16_to_path(u"a\xDC41\xDC7Fz") == "a\xEF\xBF\xBD\xEF\xBF\xBDz");
    CHECK(qvn::protocol::utf8_boundary("ab\xC3\xA9", 3) == 2);
    CHECK(qvn::protocol::utf8_boundary("ab\xC3\xA9", 4) == 4);
}

// Pieces written gathered arrive as their bytes one after another: more
// than a send buffer holds, more pieces than one call gathers, empty ones.
void test_gathered_write() {
    const std::vector<std::size_t> cases[] = {
        {16, 94620, 60}, {0, 16, 0, 300000, 0, 60}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 70000, 10, 11}, {0}, {}};
    for (const std::vector<std::size_t>& sizes : cases) {
        int fds[2];
        CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
        std::vector<Bytes> pieces;
        std::vector<qvn::platform::IoPiece> parts;
        Bytes want;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            pieces.push_back(pattern(sizes[i], static_cast<std::uint8_t>(i * 13 + 1)));
            append(want, pieces.back());
        }
        for (const Bytes& piece : pieces) parts.push_back({piece.data(), piece.size()});
        Bytes got;
        std::thread reader([&] {
            std::uint8_t buf[1000];
            while (got.size() < want.size()) {
                const ssize_t n = ::recv(fds[1], buf, sizeof buf, 0);
                if (n <= 0) break;
                append(got, Bytes(buf, buf + n));
            }
        });
        CHECK(qvn::platform::write_all(fds[0], parts.data(), parts.size()) == qvn::platform::Io::Ok);
        ::shutdown(fds[0], SHUT_WR);  // the reader stops at the end of what was written
        reader.join();
        CHECK(got == want);
        qvn::platform::close_handle(fds[0]);
        qvn::platform::close_handle(fds[1]);
    }
}

}  // namespace

int main() {
    test_writer_blocks();
    test_gathered_write();
    test_reader_boundaries();
    test_failed_write_closes();
    test_deadline();
    test_sha256();
    test_text();
    return qvn::test::finish("stream");
}
