#include "link/client.hpp"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "protocol/endpoint.hpp"
#include "protocol/text.hpp"
#include "protocol/wire.hpp"

namespace qvn::link {
namespace {

// A starting Terminal gets 200 attempts with 500 ms pauses to open its
// endpoint. The test build pauses 50 ms and waits at most 15 s, ample for a
// Terminal slowed down by sanitizers on a busy machine; a test that wants
// to see the wait run out sets a shorter limit in QVN_TEST_LAUNCH_WAIT_MS.
// The released module always waits the full time.
#ifdef QVN_TEST_BUILD
constexpr unsigned kWaitPauseMs = 50;
constexpr unsigned kTestWaitMs = 15000;

int wait_attempts() noexcept {
    unsigned limit = kTestWaitMs;
    if (const char* text = std::getenv("QVN_TEST_LAUNCH_WAIT_MS")) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(text, &end, 10);
        if (end != text && *end == '\0' && value <= kTestWaitMs) limit = static_cast<unsigned>(value);
    }
    return static_cast<int>(limit / kWaitPauseMs) + 1;
}
#else
constexpr unsigned kWaitPauseMs = 500;

constexpr int wait_attempts() noexcept { return 200; }
#endif
constexpr unsigned kWaitReportedSec = 60;
constexpr const char* kInterrupted = "Interrupted by initialize or shutdown in another thread";

CInterClient g_client;

}  // namespace

CInterClient& client() noexcept { return g_client; }

std::u16string final_path(std::u16string_view path, std::size_t capacity) {
    std::u16string resolved = platform::resolve_path(path);
    if (!resolved.empty() && resolved.size() <= capacity) return resolved;
    return std::u16string(path.substr(0, capacity));
}

std::u16string_view CInterClient::init_detail() const noexcept {
    return {init_detail_, std::char_traits<char16_t>::length(init_detail_)};
}

void CInterClient::set_detail(std::u16string_view text) noexcept {
    const std::size_t n = std::min(text.size(), kDetailUnits - 1);
    std::copy_n(text.data(), n, init_detail_);
    init_detail_[n] = 0;
}

void CInterClient::set_detail(std::string_view ascii) noexcept {
    const std::size_t n = std::min(ascii.size(), kDetailUnits - 1);
    for (std::size_t i = 0; i < n; ++i) init_detail_[i] = static_cast<unsigned char>(ascii[i]);
    init_detail_[n] = 0;
}

void CInterClient::disconnect() noexcept {
    channel_.close();
    pipe_hash_.fill(0);
    std::fill(std::begin(init_detail_), std::end(init_detail_), char16_t{0});
}

bool CInterClient::connect_terminal(std::u16string_view path, bool portable) {
    if (path.empty()) return false;
    if (path.size() > wire::kMaxPath) {
        set_detail(std::string_view("Path too long"));
        return false;
    }
    // The endpoint is named after the resolved path, so every spelling of
    // one executable (letter case, links, relative forms) meets the same
    // Terminal; an unresolvable path is used as given.
    if (!platform::endpoint_digest(final_path(path, wire::kMaxPath), pipe_hash_)) {
        pipe_hash_.fill(0);
        set_detail(std::string_view("Hash calculation failed"));
        return false;
    }
    const std::string name = protocol::endpoint_name(pipe_hash_);

    platform::Handle h = platform::kInvalidHandle;
    const auto try_connect = [&name, &h]() noexcept {
        const BlockingWait wait;
        return platform::connect_endpoint(name, h);
    };
    platform::Connect state = try_connect();
    if (state == platform::Connect::Absent) {
        bool started = false;
        {
            const BlockingWait wait;
            started = platform::spawn_detached(path, portable);
        }
        if (!started) {
            std::u16string detail = u"Process create failed '";
            detail.append(path);
            detail += u"'";
            set_detail(detail);
            return false;
        }
        const int attempts = wait_attempts();
        for (int attempt = 0; attempt < attempts; ++attempt) {
            if (channel_.interrupted()) {
                set_detail(std::string_view(kInterrupted));
                return false;
            }
            state = try_connect();
            if (state != platform::Connect::Absent) break;
            const BlockingWait wait;
            platform::sleep_ms(kWaitPauseMs);
        }
    }
    if (state == platform::Connect::Ok) {
        channel_.adopt(h);
        return true;
    }
    if (state == platform::Connect::Refused) {
        set_detail(protocol::path_to_utf16(platform::refusal_reason(name)));
        return false;
    }
    set_detail(std::string_view("Pipe server didn't answer in " + std::to_string(kWaitReportedSec) + " sec"));
    return false;
}

}  // namespace qvn::link
