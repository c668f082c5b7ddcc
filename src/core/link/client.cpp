#include "link/client.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>

#include "protocol/endpoint.hpp"
#include "protocol/text.hpp"
#include "protocol/wire.hpp"

namespace qvn::link {
namespace {

// How often the endpoint of a starting Terminal is tried; meanwhile the
// wait ends at once if the Terminal ends. The test build tries more often,
// so that tests do not wait on the pause.
#ifdef QVN_TEST_BUILD
constexpr unsigned kWaitPauseMs = 50;
#else
constexpr unsigned kWaitPauseMs = 500;
#endif
// The most of a failed start's standard error that is reported: its last
// lines, where a Terminal says why it stops.
constexpr std::size_t kErrorTailBytes = 1000;
constexpr const char* kInterrupted = "Interrupted by initialize or shutdown in another thread";

CInterClient g_client;

unsigned left_ms(std::uint64_t deadline) noexcept {
    const std::uint64_t now = platform::monotonic_ms();
    if (now >= deadline) return 0;
    return static_cast<unsigned>(std::min<std::uint64_t>(deadline - now, std::numeric_limits<unsigned>::max()));
}

// Milliseconds as seconds, without trailing zeros: "60", "0.3", "2.25".
std::string seconds_text(std::uint32_t ms) {
    std::string text = std::to_string(ms / 1000);
    if (const std::uint32_t rest = ms % 1000; rest != 0) {
        std::string fraction = std::to_string(1000 + rest).substr(1);
        while (fraction.back() == '0') fraction.pop_back();
        text += "." + fraction;
    }
    return text;
}

// An exit code as the system writes it: Windows' status codes (0xC0000005
// and the like) in hexadecimal.
std::string code_text(std::uint32_t code) {
    if (code < 0x10000) return std::to_string(code);
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

// The last lines a started Terminal wrote to its standard error: whole
// lines within kErrorTailBytes (the end of one longer line when that is all
// there is), line ends as "\n", blank space at either end dropped.
std::string last_words(const platform::StartedProcess& terminal) {
    bool whole = true;
    std::string tail = terminal.error_tail(kErrorTailBytes, whole);
    if (!whole) {
        if (const std::size_t line = tail.find('\n'); line != std::string::npos) tail.erase(0, line + 1);
    }
    std::erase(tail, '\r');
    const std::size_t first = tail.find_first_not_of(" \t\n");
    if (first == std::string::npos) return {};
    return tail.substr(first, tail.find_last_not_of(" \t\n") + 1 - first);
}

std::u16string ended_text(const platform::StartedProcess& terminal) {
    std::string text = terminal.signalled() ? "Terminal ended by signal " + std::to_string(terminal.status())
                                            : "Terminal exited with code " + code_text(terminal.status());
    if (const std::string said = last_words(terminal); !said.empty()) text += ": " + said;
    // Its bytes are meant as UTF-8; any that are not show as U+FFFD.
    return protocol::path_to_utf16(text);
}

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

std::int32_t CInterClient::connect_terminal(std::u16string_view path, bool portable, std::uint64_t deadline,
                                            std::uint32_t limit_ms) {
    if (path.empty()) return wire::kIpcInitializeFailed;
    if (path.size() > wire::kMaxPath) {
        set_detail(std::string_view("Path too long"));
        return wire::kIpcInitializeFailed;
    }
    // The endpoint is named after the resolved path, so every spelling of
    // one executable (letter case, links, relative forms) meets the same
    // Terminal; an unresolvable path is used as given.
    if (!platform::endpoint_digest(final_path(path, wire::kMaxPath), pipe_hash_)) {
        pipe_hash_.fill(0);
        set_detail(std::string_view("Hash calculation failed"));
        return wire::kIpcInitializeFailed;
    }
    const std::string name = protocol::endpoint_name(pipe_hash_);

    platform::Handle h = platform::kInvalidHandle;
    const auto try_connect = [&name, &h, deadline]() noexcept {
        const BlockingWait wait;
        return platform::connect_endpoint(name, h, left_ms(deadline));
    };
    platform::Connect state = try_connect();
    if (state == platform::Connect::Absent) {
        platform::StartedProcess terminal;
        bool started = false;
        {
            const BlockingWait wait;
            started = terminal.start(path, portable);
        }
        if (!started) {
            std::u16string detail = u"Process create failed '";
            detail.append(path);
            detail += u"'";
            set_detail(detail);
            return wire::kIpcInitializeFailed;
        }
        for (;;) {
            if (channel_.interrupted()) {
                set_detail(std::string_view(kInterrupted));
                return wire::kIpcInitializeFailed;
            }
            state = try_connect();
            if (state != platform::Connect::Absent) break;
            const unsigned pause = std::min(kWaitPauseMs, left_ms(deadline));
            if (pause == 0) break;
            bool ended = false;
            {
                const BlockingWait wait;
                if (terminal.watching())
                    ended = terminal.wait_end(pause);
                else
                    platform::sleep_ms(pause);
            }
            if (!ended) continue;
            if (terminal.signalled() || terminal.status() != 0) {
                set_detail(ended_text(terminal));
                return wire::kIpcInitializeFailed;
            }
            // A Terminal that ends at once without a failure found another
            // copy serving this installation (maybe still starting): that
            // one is waited for.
            terminal.release();
        }
    }
    switch (state) {
        case platform::Connect::Ok:
            channel_.adopt(h);
            return wire::kSuccess;
        case platform::Connect::Refused:
            set_detail(protocol::path_to_utf16(platform::refusal_reason(name)));
            return wire::kIpcInitializeFailed;
        case platform::Connect::Busy:
            return wire::kIpcTimeout;  // it is there, but does not take us
        case platform::Connect::Absent:
            break;
    }
    set_detail(std::string_view("Pipe server didn't answer in " + seconds_text(limit_ms) + " sec"));
    return wire::kIpcInitializeFailed;
}

}  // namespace qvn::link
