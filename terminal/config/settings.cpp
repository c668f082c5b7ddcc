#include "terminal/config/settings.hpp"

#include <array>
#include <cstdio>
#include <utility>

namespace qvn::terminal {
namespace {

enum class Kind { Number, Flag, Seconds, Date, Instant };

struct Option {
    std::string_view cli;  // command-line spelling
    std::string_view key;  // settings-file key
    Kind kind;
    std::uint64_t min;
    std::uint64_t max;
    // Writes a parsed value into the settings.
    void (*store)(Settings&, std::uint64_t number, std::int64_t signed_value);
    // The default, as the settings file spells it; empty when the key is
    // written only if the file has it.
    std::string_view default_text;
    // False for an option taken from the command line only: one that must
    // never hold for every start of an installation.
    bool in_file = true;
};

// One row per setting: the same parser serves the file and the command line.
constexpr std::array kOptions = {
    Option{"--build", "build", Kind::Number, 1, 0xFFFFFFFFu,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.build = static_cast<std::uint32_t>(v); }, "2405"},
    Option{"--ready-delay-ms", "ready_delay_ms", Kind::Number, 0, 3600000,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.ready_delay_ms = static_cast<std::uint32_t>(v); }, "0"},
    Option{"--idle-exit-s", "idle_exit_s", Kind::Number, 0, 100000000,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.idle_exit_s = static_cast<std::uint32_t>(v); }, "0"},
    Option{"--owner-pid", "owner_pid", Kind::Number, 1, 0x7FFFFFFF,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.owner_pid = static_cast<std::uint32_t>(v); }, ""},
    Option{"--no-endpoint", "no_endpoint", Kind::Flag, 0, 1,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.no_endpoint = v != 0; }, "0"},
    Option{"--now", "now", Kind::Seconds, 0, 0,
           [](Settings& s, std::uint64_t, std::int64_t ms) { s.now_ms = ms; }, ""},
    Option{"--clock", "clock", Kind::Instant, 0, 0,
           [](Settings& s, std::uint64_t, std::int64_t ms) { s.clock_ms = ms; }, ""},
    Option{"--speed", "speed", Kind::Number, 1, 1000000,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.speed = static_cast<std::uint32_t>(v); }, "1"},
    Option{"--step", "step", Kind::Flag, 0, 1,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.step = v != 0; }, "0"},
    Option{"--history-start", "history_start", Kind::Date, 0, 0,
           [](Settings& s, std::uint64_t, std::int64_t day) { s.history_start_day = day; }, "2020-01-01"},
    Option{"--max-response-mb", "max_response_mb", Kind::Number, 1, 4095,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.max_response_mb = static_cast<std::uint32_t>(v); },
           "2048"},
    Option{"--trade-allowed", "trade_allowed", Kind::Flag, 0, 1,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.trade_allowed = v != 0; }, "1"},
    Option{"--tradeapi-disabled", "tradeapi_disabled", Kind::Flag, 0, 1,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.tradeapi_disabled = v != 0; }, "0"},
    Option{"--extra-symbols", "extra_symbols", Kind::Number, 0, kMaxExtraSymbols,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.extra_symbols = static_cast<std::uint32_t>(v); }, "0"},
    Option{"--max-clients", "max_clients", Kind::Number, 1, kMaxClientsLimit,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.max_clients = static_cast<std::uint32_t>(v); }, "64"},
    Option{"--frame-timeout-ms", "frame_timeout_ms", Kind::Number, 10, 3600000,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.frame_timeout_ms = static_cast<std::uint32_t>(v); },
           "10000"},
    Option{"--handshake-timeout-ms", "handshake_timeout_ms", Kind::Number, 10, 3600000,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.handshake_timeout_ms = static_cast<std::uint32_t>(v); },
           "30000"},
    Option{"--store-sync", "store_sync", Kind::Flag, 0, 1,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.store_sync = v != 0; }, "1"},
    // Every account is lost when the Terminal ends: for a run's own private
    // Terminal only, never a setting of the installation.
    Option{"--store-memory", "store_memory", Kind::Flag, 0, 1,
           [](Settings& s, std::uint64_t v, std::int64_t) { s.store_memory = v != 0; }, "", false},
};

const Option* find_cli(std::string_view name) noexcept {
    for (const Option& o : kOptions)
        if (o.cli == name) return &o;
    return nullptr;
}

const Option* find_key(std::string_view key) noexcept {
    for (const Option& o : kOptions)
        if (iequals(o.key, key)) return &o;
    return nullptr;
}

// "SECONDS" or "SECONDS.FRACTION" (up to milliseconds) to milliseconds.
bool parse_seconds(std::string_view text, std::int64_t& ms) noexcept {
    const std::size_t dot = text.find('.');
    std::uint64_t whole = 0;
    // Seconds up to the year 2100 and well beyond; far below overflow in ms.
    if (!parse_uint(text.substr(0, dot), 100000000000ull, whole)) return false;
    std::int64_t frac = 0;
    if (dot != std::string_view::npos) {
        const std::string_view f = text.substr(dot + 1);
        if (f.empty() || f.size() > 3) return false;
        std::uint64_t digits = 0;
        if (!parse_uint(f, 999, digits)) return false;
        frac = static_cast<std::int64_t>(digits);
        for (std::size_t i = f.size(); i < 3; ++i) frac *= 10;
    }
    ms = static_cast<std::int64_t>(whole) * 1000 + frac;
    return true;
}

// Any well-formed date of the years 0000-9999 (the range is checked apart,
// so a date such as 1999-12-31 is said to be out of range, not malformed).
bool parse_date(std::string_view text, std::int64_t& day) noexcept {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    std::uint64_t y = 0, m = 0, d = 0;
    if (!parse_uint(text.substr(0, 4), 9999, y) || !parse_uint(text.substr(5, 2), 12, m) ||
        !parse_uint(text.substr(8, 2), 31, d) || m == 0 || d == 0)
        return false;
    day = days_from_civil(static_cast<std::int64_t>(y), static_cast<unsigned>(m), static_cast<unsigned>(d));
    const CivilDate back = civil_from_days(day);
    return back.day == d && back.month == m;  // rejects dates such as 2023-02-30
}

// "YYYY-MM-DDTHH:MM:SS[.fff]Z" (UTC) or POSIX seconds, to milliseconds.
bool parse_instant(std::string_view text, std::int64_t& ms) noexcept {
    if (text.find('T') == std::string_view::npos) return parse_seconds(text, ms);
    if (text.size() < 20 || text.back() != 'Z' || text[10] != 'T' || text[13] != ':' || text[16] != ':')
        return false;
    std::int64_t day = 0;
    if (!parse_date(text.substr(0, 10), day)) return false;
    std::uint64_t h = 0, m = 0;
    if (!parse_uint(text.substr(11, 2), 23, h) || !parse_uint(text.substr(14, 2), 59, m)) return false;
    std::int64_t sec_ms = 0;
    const std::string_view sec = text.substr(17, text.size() - 18);
    if (sec.size() < 2 || sec[0] == '.' || !parse_seconds(sec, sec_ms) || sec_ms >= 60000) return false;
    ms = day * 86400000 + static_cast<std::int64_t>(h * 3600000 + m * 60000) + sec_ms;
    return true;
}

bool apply_one(const Option& o, std::string_view value, Settings& s, std::string& error) {
    std::uint64_t number = 0;
    std::int64_t signed_value = 0;
    bool ok = false;
    switch (o.kind) {
        case Kind::Number: ok = parse_uint(value, o.max, number) && number >= o.min; break;
        case Kind::Flag: {
            bool flag = false;
            ok = parse_flag(value, flag);
            number = flag ? 1 : 0;
            break;
        }
        case Kind::Seconds: ok = parse_seconds(value, signed_value); break;
        case Kind::Date: ok = parse_date(value, signed_value); break;
        case Kind::Instant: ok = parse_instant(value, signed_value); break;
    }
    // A well-formed date or clock start outside the price process's span.
    const bool in_span =
        o.kind == Kind::Date      ? signed_value >= kProcessFirstDay && signed_value < kProcessEndDay
        : o.kind == Kind::Instant ? signed_value >= kProcessFirstDay * kMsPerDay && signed_value < kProcessEndMs
                                  : true;
    if (ok && !in_span) {
        error = "value '" + std::string(value) + "' for " + std::string(o.key) + " is out of range (" +
                (o.kind == Kind::Date ? "from 2000-01-01 to 2099-12-31)"
                                      : "from 2000-01-01T00:00:00Z to 2099-12-31T23:59:59.999Z)");
        return false;
    }
    if (!ok) {
        error = "malformed value '" + std::string(value) + "' for " + std::string(o.key);
        switch (o.kind) {
            case Kind::Number:
                error += " (expected a whole number from " + std::to_string(o.min) + " to " + std::to_string(o.max) + ")";
                break;
            case Kind::Flag: error += " (expected 0 or 1)"; break;
            case Kind::Seconds: error += " (expected POSIX seconds, optionally with up to 3 decimals)"; break;
            case Kind::Date: error += " (expected YYYY-MM-DD from 2000-01-01 to 2099-12-31)"; break;
            case Kind::Instant: error += " (expected YYYY-MM-DDTHH:MM:SSZ or POSIX seconds)"; break;
        }
        return false;
    }
    o.store(s, number, signed_value);
    return true;
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, CommandLine& out, std::string& error) {
    std::string_view flag;  // the flag just before, written without a value
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const std::string_view after = std::exchange(flag, std::string_view());
        if (arg == "/portable") {
            out.portable = true;
            continue;
        }
        // Anything else that is not a known option is refused: a misspelt
        // one (--sped 60) would otherwise leave the Terminal running on
        // settings other than those asked for.
        if (!arg.starts_with("--")) {
            error = "command line: unexpected argument '" + std::string(arg) + "'";
            if (!after.empty())
                error += ": the flag " + std::string(after) + " takes no separate value (write " + std::string(after) +
                         " or " + std::string(after) + "=0/1)";
            return false;
        }
        const std::size_t eq = arg.find('=');
        const Option* o = find_cli(arg.substr(0, eq));
        if (o == nullptr) {
            error = "command line: unknown option " + std::string(arg.substr(0, eq));
            return false;
        }
        if (eq != std::string_view::npos) {
            out.options.emplace_back(std::string(o->key), std::string(arg.substr(eq + 1)));
        } else if (o->kind == Kind::Flag) {
            out.options.emplace_back(std::string(o->key), "1");
            flag = o->cli;
        } else if (i + 1 < argc) {
            out.options.emplace_back(std::string(o->key), std::string(argv[++i]));
        } else {
            error = "command line: option " + std::string(o->cli) + " needs a value";
            return false;
        }
    }
    return true;
}

bool is_setting(std::string_view key) noexcept { return find_key(key) != nullptr; }

bool apply_settings(const IniSection* section, const CommandLine& cli, Settings& out, std::string& error) {
    if (section != nullptr) {
        for (const auto& [key, value] : section->entries) {
            const Option* o = find_key(key);
            if (o != nullptr && !o->in_file) {
                error = "terminal.ini: " + std::string(o->key) + " is taken from the command line only (" +
                        std::string(o->cli) + "), never from the file";
                return false;
            }
            if (o != nullptr && !apply_one(*o, value, out, error)) {
                error = "terminal.ini: " + error;
                return false;
            }
        }
    }
    for (const auto& [key, value] : cli.options) {
        if (!apply_one(*find_key(key), value, out, error)) {
            error = "command line: " + error;
            return false;
        }
    }
    out.portable = cli.portable;
    return true;
}

bool consistent_settings(const Settings& s, std::string& error) {
    if (!s.step) return true;
    if (s.now_ms) {
        error = "step: a stepped clock cannot be frozen (--now wins over --clock); give --clock without --now";
        return false;
    }
    if (!s.clock_ms) {
        error = "step: a stepped clock needs its start (--clock TIME)";
        return false;
    }
    return true;
}

void store_settings(const IniSection* file_section, IniSection& out) {
    for (const Option& o : kOptions) {
        const std::string* given = file_section != nullptr ? file_section->find(o.key) : nullptr;
        if (given != nullptr) {
            out.set(o.key, *given);
        } else if (!o.default_text.empty()) {
            out.set(o.key, o.default_text);
        }
    }
    // Keys of other versions or of the user are kept.
    if (file_section != nullptr)
        for (const auto& [key, value] : file_section->entries)
            if (find_key(key) == nullptr) out.set(key, value);
}

}  // namespace qvn::terminal
