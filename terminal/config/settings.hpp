// The Terminal's settings: defaults, then the [Terminal] section of
// config/terminal.ini, then the command line, which wins.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "terminal/market/calendar.hpp"
#include "terminal/text/ini.hpp"

namespace qvn::terminal {

inline constexpr std::uint32_t kDefaultBuild = 2405;
inline constexpr std::int64_t kDefaultHistoryStartDay = days_from_civil(2020, 1, 1);
inline constexpr std::uint32_t kDefaultMaxResponseMb = 2048;
// Generated symbols a Terminal may be asked for: enough to exercise large
// catalogues, well within what a response may carry.
inline constexpr std::uint32_t kMaxExtraSymbols = 100000;
// Client slots: each holds at most one unfinished request (a few dozen KiB)
// and a thread, so the limit bounds both.
inline constexpr std::uint32_t kDefaultMaxClients = 64;
inline constexpr std::uint32_t kMaxClientsLimit = 1024;

struct Settings {
    bool portable = false;
    std::uint32_t build = kDefaultBuild;
    std::uint32_t ready_delay_ms = 0;
    std::uint32_t idle_exit_s = 0;          // 0 = never
    std::uint32_t owner_pid = 0;            // 0 = none: the process whose end stops the Terminal
    bool no_endpoint = false;
    std::optional<std::int64_t> now_ms;     // frozen market clock
    std::optional<std::int64_t> clock_ms;   // moving market clock: its start
    std::uint32_t speed = 1;                // ... and simulated ms per real ms
    bool step = false;                      // ... or moved only by the control command
    std::int64_t history_start_day = kDefaultHistoryStartDay;
    std::uint32_t max_response_mb = kDefaultMaxResponseMb;
    bool trade_allowed = true;
    bool tradeapi_disabled = false;
    std::uint32_t extra_symbols = 0;        // generated symbols after the table
    std::uint32_t max_clients = kDefaultMaxClients;
    // A request frame must arrive whole within this time of its first byte.
    std::uint32_t frame_timeout_ms = 10000;
    // A connection that has not completed a handshake is dropped after this
    // long without a request; once greeted it may stay idle indefinitely.
    std::uint32_t handshake_timeout_ms = 30000;
    // The trading store syncs each commit to the disk; off for an account
    // no one needs after a crash (a private backtest's), whose commits then
    // cost no wait on the disk.
    bool store_sync = true;
    // The trading store is kept in memory, never in a file: every account
    // starts afresh and ends with the Terminal (a private backtest's), and
    // a trade costs no file write or lock.
    bool store_memory = false;

    std::uint64_t max_response_bytes() const noexcept {
        return static_cast<std::uint64_t>(max_response_mb) << 20;
    }
};

// The options as given on the command line, in order, not yet applied:
// they are applied after the settings file so that they win.
struct CommandLine {
    bool portable = false;
    std::vector<std::pair<std::string, std::string>> options;  // settings key, raw value
};

// An unknown option or argument (anything but /portable and the options'
// --key value, --key=value and flags) is an error that names it, as is an
// option without its value.
bool parse_command_line(int argc, const char* const* argv, CommandLine& out, std::string& error);

// Applies every known key of `section` and then the command line options.
// A malformed value is an error that names the key.
bool apply_settings(const IniSection* section, const CommandLine& cli, Settings& out, std::string& error);

// Settings that only make sense together: --step needs --clock and no --now.
// Checked once the file and the command line are both applied.
bool consistent_settings(const Settings& s, std::string& error);

// Whether `key` is a setting of this release. terminal.ini keeps the keys
// it does not know (another release's, or the user's own) but uses none.
bool is_setting(std::string_view key) noexcept;

// The [Terminal] section as it is written back: the file's own values (or
// defaults) for every key, so the file documents every setting.
void store_settings(const IniSection* file_section, IniSection& out);

}  // namespace qvn::terminal
