// terminal64: the simulated Quorvane Terminal.
//
// Exit codes: 0 after a clean shutdown (stop request, idle limit) and when
// another copy already runs for this executable path; 1 when the Terminal
// cannot set itself up (folders, endpoint, a trading store that another
// Terminal holds, that is unsafe, or whose last activity is later than the
// market clock's start); 2 for a malformed setting.
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/platform.hpp"
#include "protocol/text.hpp"
#include "terminal/store/accounts.hpp"
#include "terminal/store/files.hpp"
#include "terminal/text/ini.hpp"
#include "terminal/store/installation.hpp"
#include "terminal/store/instance_lock.hpp"
#include "terminal/store/store_guard.hpp"
#include "terminal/store/trade_store.hpp"
#include "terminal/market/imported_source.hpp"
#include "terminal/market/market.hpp"
#include "terminal/server/server.hpp"
#include "terminal/server/stop.hpp"
#include "terminal/config/settings.hpp"
#include "terminal/terminal.hpp"

namespace {

namespace platform = qvn::platform;
namespace term = qvn::terminal;

int fail(int code, const std::string& message) {
    std::fprintf(stderr, "terminal64: %s\n", message.c_str());
    return code;
}

// Rewrites terminal.ini with every setting spelled out; other sections
// (accounts) are kept as they were.
void rewrite_settings(const term::Installation& inst, const term::IniFile& file) {
    term::IniFile out;
    term::store_settings(file.find("Terminal"), out.section("Terminal"));
    for (const term::IniSection& s : file.sections)
        if (!term::iequals(s.name, "Terminal") && !s.name.empty()) out.sections.push_back(s);
    const std::string text = term::format_ini(
        out,
        "Quorvane Terminal settings, rewritten on every start.\n"
        "Command-line options override these values for one run.");
    if (!term::write_file(inst.settings_file(), text))
        std::fprintf(stderr, "terminal64: cannot write %s\n", qvn::protocol::utf16_to_utf8(inst.settings_file()).c_str());
}

// What the pid file tells about this run, after the pid: each command-line
// argument as given ("arg ..."), then the market clock (see
// MarketClock::describe). The clock line comes last, so a reader that sees
// it has the whole text.
std::string run_details(int argc, char** argv, const term::MarketClock& clock, std::int64_t wall_ms) {
    std::string out;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        for (char& c : arg)
            if (c == '\n' || c == '\r') c = ' ';  // one argument, one line
        out += "arg " + arg + "\n";
    }
    return out + clock.describe(wall_ms) + "\n";
}

std::string utc(std::int64_t ms) {
    const std::int64_t day = term::floor_div(ms, term::kMsPerDay);
    const std::int64_t in_day = ms - day * term::kMsPerDay;
    const term::CivilDate d = term::civil_from_days(day);
    // Room for every field at its type's widest, so no compiler can see a cut.
    char text[160];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld.%03lld UTC", static_cast<long long>(d.year),
                  d.month, d.day, static_cast<long long>(in_day / 3600000), static_cast<long long>(in_day / 60000 % 60),
                  static_cast<long long>(in_day / 1000 % 60), static_cast<long long>(in_day % 1000));
    return text;
}

// A market clock that starts before the store's last activity would price
// open positions at quotes from before they were opened and date new deals
// before older ones: such a start is refused.
bool check_clock(term::TradeStore& store, const std::string& path, std::int64_t start_ms, std::string& error) {
    bool ok = false;
    const std::optional<std::int64_t> last = store.last_activity(ok);
    if (!ok) {
        error = "cannot read the trading store '" + path + "'";
        return false;
    }
    if (!last || start_ms >= *last) return true;
    error = "the market clock starts at " + utc(start_ms) + ", before the last activity of the trading store '" +
            path + "' at " + utc(*last) + "; start it at or after that time";
    return false;
}

int run(int argc, char** argv) {
    // A stop request from here on ends the run cleanly, whenever it comes.
    const term::StopRequest stop;

    term::CommandLine cli;
    std::string error;
    if (!term::parse_command_line(argc, argv, cli, error)) return fail(2, error);
    // Validate the command line before touching anything.
    term::Settings probe;
    if (!term::apply_settings(nullptr, cli, probe, error)) return fail(2, error);

    term::Installation inst;
    if (!term::locate_installation(cli.portable, inst, error)) return fail(1, error);

    std::string folder;
    if (!platform::endpoint_folder(folder, error)) return fail(1, error);
    term::InstanceLock lock;
    const std::string lock_path = folder + static_cast<char>(platform::kPathSeparator) + inst.endpoint_name + ".pid";
    switch (lock.acquire(lock_path, error)) {
        case term::InstanceLock::Result::Held: return 0;  // that copy serves this installation
        case term::InstanceLock::Result::Failed: return fail(1, error);
        case term::InstanceLock::Result::Acquired: break;
    }

    // The trading store is checked and locked before anything is written:
    // a second Terminal on the same store (another runtime folder, another
    // portable start) refuses here, leaving every file as it was.
    if (!term::make_folders(inst.files_folder))
        return fail(1, "cannot create '" + qvn::protocol::utf16_to_utf8(inst.files_folder) + "'");
    std::string store_folder;
    if (!term::check_store_folder(inst.files_folder, store_folder, error)) return fail(1, error);
    const std::string store_path = term::store_path(store_folder);
    term::StoreLock store_lock;
    std::string holder;
    switch (store_lock.acquire(term::store_lock_path(store_folder), error, holder)) {
        case term::StoreLock::Result::Held:
            return fail(1, "the trading store '" + store_path + "' is in use by another Terminal" +
                               (holder.empty() ? std::string() : " (process " + holder + ")"));
        case term::StoreLock::Result::Failed: return fail(1, error);
        case term::StoreLock::Result::Acquired: break;
    }
    if (!term::check_store_files(store_folder, error)) return fail(1, error);

    std::string text;
    const term::IniFile file =
        term::read_file(inst.settings_file(), text) ? term::parse_ini(text) : term::IniFile{};
    term::Settings settings;
    if (!term::apply_settings(file.find("Terminal"), cli, settings, error) ||
        !term::consistent_settings(settings, error))
        return fail(2, error);
    std::vector<term::Account> accounts = term::builtin_accounts();
    if (!term::load_accounts(file, accounts, error)) return fail(2, error);

    term::TradeStore store;
    if (!term::make_store_file(store_path, error) || !store.open(store_path, error)) return fail(1, error);
    const term::MarketClock clock =
        term::MarketClock::from(settings.now_ms, settings.clock_ms, settings.speed, settings.step);
    if (!check_clock(store, store_path, clock.start_ms(), error)) return fail(1, error);

    if (!term::prepare_folders(inst, error)) return fail(1, error);
    rewrite_settings(inst, file);

    term::AccountHistory history;
    if (term::read_file(inst.accounts_file(), text)) history = term::parse_history(text);

    term::Market market(settings.history_start_day, clock);
    term::load_imported(market, inst.files_folder);
    const auto wall = std::chrono::system_clock::now().time_since_epoch();
    lock.publish(run_details(argc, argv, market.clock(), std::chrono::duration_cast<std::chrono::milliseconds>(wall).count()));
    const bool no_endpoint = settings.no_endpoint;
    const std::uint32_t idle_exit_s = settings.idle_exit_s;
    term::Terminal terminal(std::move(settings), inst, std::move(accounts), std::move(history), market, store);

    platform::UniqueHandle listener;
    std::string endpoint_path;
    if (!no_endpoint) {
        listener = platform::UniqueHandle(platform::listen_endpoint(inst.endpoint_name, endpoint_path, error));
        if (!listener.valid()) return fail(1, error);
        std::fprintf(stderr, "terminal64: serving %s\n", endpoint_path.c_str());
    }
    term::serve(terminal, listener.get(), endpoint_path, stop.handle(), idle_exit_s);
    if (listener.valid()) {
        listener.reset();
        platform::remove_endpoint(endpoint_path);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        return fail(1, e.what());
    } catch (...) {
        return fail(1, "unexpected failure");
    }
}
