// Unit tests of the link's in-process kind: the framed stream over a peer in
// this process (a scripted one, for exact bytes and faults), and the
// Terminal hosted through it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "check.hpp"
#include "link/in_process.hpp"
#include "link/stream.hpp"
#include "protocol/text.hpp"
#include "protocol/wire.hpp"

namespace {

using qvn::link::Channel;
using qvn::link::LocalPeer;
using qvn::link::PipeReader;
using qvn::link::PipeWriter;
namespace wire = qvn::wire;
using Bytes = std::vector<std::byte>;

// Records each request body and answers it with the frame it is given
// (nothing at all when `reply` is empty).
class ScriptedPeer final : public LocalPeer {
public:
    ScriptedPeer(std::vector<Bytes>& bodies, bool& ended) : bodies_(bodies), ended_(ended) {}
    ~ScriptedPeer() override { ended_ = true; }
    Bytes answer_with;

private:
    bool answer(std::span<const std::byte> body) noexcept override {
        bodies_.emplace_back(body.begin(), body.end());
        return answer_with.empty() || reply(answer_with);
    }
    std::vector<Bytes>& bodies_;
    bool& ended_;
};

Bytes frame(std::uint32_t echo, std::int32_t result, std::size_t fields, std::byte fill) {
    Bytes out(12 + fields, fill);
    const auto length = static_cast<std::uint32_t>(8 + fields);
    std::memcpy(out.data(), &length, 4);
    std::memcpy(out.data() + 4, &echo, 4);
    std::memcpy(out.data() + 8, &result, 4);
    return out;
}

struct Scripted {
    std::vector<Bytes> bodies;
    bool ended = false;
    Channel channel;
    ScriptedPeer* peer = nullptr;
    Scripted() {
        auto p = std::make_unique<ScriptedPeer>(bodies, ended);
        peer = p.get();
        channel.adopt(std::move(p));
    }
};

// A request of `args` bytes of `fill`, whose reply's fields are read into
// `fields` (as many bytes as it holds); the call's outcome.
std::int32_t call(Channel& channel, std::uint32_t command, std::size_t args, Bytes& fields) {
    const Bytes request(args + 1, std::byte{0x5A});  // never empty: its data is never null
    return qvn::link::transact(
        channel, command, static_cast<std::uint32_t>(args),
        [&](PipeWriter& w) noexcept { return w.write(request.data(), args); },
        [&](PipeReader& r) noexcept {
            fields.resize(r.remaining());
            return r.read(fields.data(), fields.size());
        });
}

void test_frames_cross_whole() {
    // A request longer than the writer's block reaches the peer whole, as
    // one body; a reply longer than the reader's block is read whole, its
    // large piece straight into its destination.
    Scripted s;
    s.peer->answer_with = frame(106, 1, 100000, std::byte{0x33});
    Bytes fields;
    CHECK(call(s.channel, 106, 40000, fields) == 1);
    CHECK(s.bodies.size() == 1 && s.bodies[0].size() == 40004);
    std::uint32_t command = 0;
    if (!s.bodies.empty()) std::memcpy(&command, s.bodies[0].data(), 4);
    CHECK(command == 106 && s.bodies[0].back() == std::byte{0x5A});
    CHECK(fields == Bytes(100000, std::byte{0x33}));
    // The next call is answered in turn, on the same link.
    s.peer->answer_with = frame(1, -4, 0, std::byte{0});
    CHECK(call(s.channel, 1, 0, fields) == -4 && s.bodies.size() == 2 && s.channel.open());
}

void test_faults_end_the_peer() {
    struct Row {
        const char* what;
        std::size_t args;
        Bytes reply;
        std::int32_t outcome;
    };
    const Row rows[] = {
        // A frame longer than any request: the peer refuses it, as the
        // Terminal drops such a client.
        {"oversized request", 70000, frame(1, 1, 0, std::byte{0}), wire::kIpcSendFailed},
        // No reply at all: nothing will ever come.
        {"no reply", 0, {}, wire::kIpcRecvFailed},
        // A reply shorter than its length field says.
        {"short reply", 0, [] { Bytes b = frame(1, 1, 8, std::byte{1}); b.resize(14); return b; }(),
         wire::kIpcRecvFailed},
    };
    for (const Row& row : rows) {
        Scripted s;
        s.peer->answer_with = row.reply;
        Bytes fields;
        const std::int32_t got = call(s.channel, 1, row.args, fields);
        if (got != row.outcome) std::fprintf(stderr, "%s: %d\n", row.what, got);
        CHECK(got == row.outcome);
        CHECK(s.ended && !s.channel.open());  // the connection and its peer are gone
        CHECK(call(s.channel, 1, 0, fields) == wire::kNoIpcConnection);
    }
}

std::int32_t version(Channel& channel, std::u16string& date) {
    std::uint32_t major = 0, build = 0, units = 0;
    return qvn::link::transact(
        channel, wire::kVersion, 4, [](PipeWriter& w) noexcept { return w.put(std::uint32_t{0}); },
        [&](PipeReader& r) noexcept {
            if (!r.get(major) || !r.get(build) || !r.get(units) || units > 64) return false;
            date.resize(units);
            return r.read(date.data(), 2 * std::size_t{units}) && major == 5 && build == 2405;
        });
}

void test_hosted_terminal() {
    qvn::test::TempFolder folder;
#ifndef _WIN32
    // The Common folder every Terminal shares goes into the test's folder.
    ::setenv("XDG_DATA_HOME", folder.file("roaming").c_str(), 1);
#endif
    const std::filesystem::path root = std::filesystem::path(folder.file("in-process"));
    std::filesystem::create_directories(root / "config");
    std::ofstream(root / "config" / "terminal.ini") << "[Terminal]\nbuild=2405\n";
    const std::u16string where = qvn::protocol::path_to_utf16(root.string());
    const std::vector<std::string> args = {"--clock", "2025-01-06T00:00:00Z", "--step", "--store-sync=0"};
    int code = 0;
    std::string error;

    CHECK(qvn::link::start_in_process(where, {"--sped", "60"}, code, error) == nullptr);
    CHECK(code == 2 && error == "command line: unknown option --sped");

    Channel first;
    first.adopt(qvn::link::start_in_process(where, args, code, error));
    CHECK(first.open() && code == 0);
    std::u16string date;
    CHECK(version(first, date) == 1 && date == u"14 Jun 2024");
    // Its store is its own while it lives ...
    CHECK(qvn::link::start_in_process(where, args, code, error) == nullptr);
    CHECK(code == 1 && error.find("is in use by another Terminal") != std::string::npos);
    // ... and free once its connection is closed.
    first.close();
    Channel second;
    second.adopt(qvn::link::start_in_process(where, args, code, error));
    CHECK(second.open() && code == 0 && version(second, date) == 1);
}

}  // namespace

int main() {
    test_frames_cross_whole();
    test_faults_end_the_peer();
    test_hosted_terminal();
    return qvn::test::finish("in-process");
}
