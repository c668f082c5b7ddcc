#include "terminal/host/host.hpp"

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "platform/platform.hpp"
#include "protocol/text.hpp"
#include "terminal/market/imported_source.hpp"
#include "terminal/store/accounts.hpp"
#include "terminal/store/files.hpp"
#include "terminal/store/store_guard.hpp"
#include "terminal/store/trade_store.hpp"
#include "terminal/text/ini.hpp"

namespace qvn::terminal {
namespace {

// Rewrites terminal.ini with every setting spelled out; other sections
// (accounts) are kept as they were.
void rewrite_settings(const Installation& inst, const IniFile& file) {
    IniFile out;
    store_settings(file.find("Terminal"), out.section("Terminal"));
    for (const IniSection& s : file.sections)
        if (!iequals(s.name, "Terminal") && !s.name.empty()) out.sections.push_back(s);
    const std::string text = format_ini(
        out,
        "Quorvane Terminal settings, rewritten on every start.\n"
        "Command-line options override these values for one run.");
    if (!write_file(inst.settings_file(), text))
        std::fprintf(stderr, "terminal64: cannot write %s\n", protocol::utf16_to_utf8(inst.settings_file()).c_str());
}

// A time as messages show it ("2026-01-05 08:55:00.250 UTC") or, `compact`,
// as a file name may hold it, to the second ("20260105T085500Z").
std::string utc(std::int64_t ms, bool compact = false) {
    const std::int64_t day = floor_div(ms, kMsPerDay);
    const std::int64_t in_day = ms - day * kMsPerDay;
    const CivilDate d = civil_from_days(day);
    // Room for every field at its type's widest, so no compiler can see a cut.
    char text[160];
    std::snprintf(text, sizeof text,
                  compact ? "%04lld%02u%02uT%02lld%02lld%02lldZ" : "%04lld-%02u-%02u %02lld:%02lld:%02lld.%03lld UTC",
                  static_cast<long long>(d.year), d.month, d.day, static_cast<long long>(in_day / 3600000),
                  static_cast<long long>(in_day / 60000 % 60), static_cast<long long>(in_day / 1000 % 60),
                  static_cast<long long>(in_day % 1000));
    return text;
}

// Where a Terminal keeps its accounts. On the wall clock, trading.db in the
// folder holding config/; on a set clock (--now, --clock, --step), the same
// files in that folder's set-clock/. The two never share an account: trades
// at a simulated time would leave the wall-clock store's last activity in
// the wall clock's future (or a wall-clock trade leave a simulated start in
// the store's past), and the clock rule below would lock one of them out.
constexpr std::string_view kSetClockFolder = "set-clock";

}  // namespace

// One store, checked, locked and open.
struct Host::Store {
    std::optional<StoreLock> lock;
    std::unique_ptr<TradeStore> store;
    std::string path;

    bool open(const Installation& inst, const MarketClock& clock, bool sync, std::string& error);
    // A store in memory: no folder, file or lock of the installation's is
    // touched, as none is read or written.
    void open_in_memory();

private:
    bool open_in(std::u16string_view folder, bool sync, std::string& error);
};

// Checks the store's folder and files, takes its lock and opens it; the
// store (and its folder) is made when missing.
bool Host::Store::open_in(std::u16string_view folder, bool sync, std::string& error) {
    if (!make_folders(folder)) {
        error = "cannot create '" + protocol::utf16_to_utf8(folder) + "'";
        return false;
    }
    std::string resolved;
    if (!check_store_folder(folder, resolved, error)) return false;
    path = store_path(resolved);
    std::string holder;
    switch (lock.emplace().acquire(store_lock_path(resolved), error, holder)) {
        case StoreLock::Result::Held:
            error = "the trading store '" + path + "' is in use by another Terminal" +
                    (holder.empty() ? std::string() : " (process " + holder + ")");
            return false;
        case StoreLock::Result::Failed: return false;
        case StoreLock::Result::Acquired: break;
    }
    if (!check_store_files(resolved, error)) return false;
    store = std::make_unique<TradeStore>();
    return make_store_file(path, error) && store->open(path, error, sync);
}

// A new store every start, which no other Terminal can reach: nothing to
// check or lock, and no last activity for the clock rule to weigh.
void Host::Store::open_in_memory() {
    store = std::make_unique<TradeStore>();
    store->open_in_memory();
    path = ":memory:";
}

namespace {

// The name a set-clock store is set aside under: "set-clock.set-aside-" and
// the UTC second of its last activity (20260105T085500Z), then "-2", "-3"
// ... when that is taken.
std::u16string aside_name(const Installation& inst, std::int64_t last_ms) {
    const std::string base = std::string(kSetClockFolder) + ".set-aside-" + utc(last_ms, true);
    std::u16string path = join(inst.files_folder, utf16(base));
    for (int n = 2; file_exists(path); ++n) path = join(inst.files_folder, utf16(base + "-" + std::to_string(n)));
    return path;
}

}  // namespace

// Opens the store of this clock. No store is ever priced at a time before
// its last activity (the latest evaluated_ms of any account): open
// positions would take quotes from before they were opened and new deals
// would be dated before older ones. On the wall clock such a start (the
// system clock set back) is refused. A set clock starts where it is told,
// so an earlier start than its store's last activity (the same --clock run
// twice) sets that store aside, whole and untouched under a name that says
// so, and starts a new one; stderr names both.
bool Host::Store::open(const Installation& inst, const MarketClock& clock, bool sync, std::string& error) {
    std::string resolved;
    if (!make_folders(inst.files_folder)) {
        error = "cannot create '" + protocol::utf16_to_utf8(inst.files_folder) + "'";
        return false;
    }
    if (!check_store_folder(inst.files_folder, resolved, error)) return false;
    const bool set = clock.mode() != MarketClock::Mode::Wall;
    const std::u16string folder = set ? join(inst.files_folder, utf16(kSetClockFolder)) : inst.files_folder;
    if (!open_in(folder, sync, error)) return false;
    bool ok = false;
    const std::optional<std::int64_t> last = store->last_activity(ok);
    if (!ok) {
        error = "cannot read the trading store '" + path + "'";
        return false;
    }
    const std::int64_t start_ms = clock.start_ms();
    if (!last || start_ms >= *last) return true;
    const std::string clash = "the market clock starts at " + utc(start_ms) +
                              ", before the last activity of the trading store '" + path + "' at " + utc(*last);
    if (!set) {
        error = clash + "; start it at or after that time";
        return false;
    }
    const std::u16string aside = aside_name(inst, *last);
    const std::string aside_text = protocol::utf16_to_utf8(aside);
    store.reset();  // closed; its files (the log included) move together, the lock still held
    bool moved = move_folder(folder, aside);
    lock.reset();
    // Windows moves no folder while a file in it is open, the lock file
    // included: without the lock a second try succeeds, unless another
    // Terminal has meanwhile opened the store, which then stays where it is.
    if (!moved) moved = move_folder(folder, aside);
    if (!moved) {
        error = clash + ", and that store cannot be set aside as '" + aside_text + "'";
        return false;
    }
    std::fprintf(stderr, "terminal64: %s: that store is set aside as '%s' and this run starts a new one\n",
                 clash.c_str(), aside_text.c_str());
    return open_in(folder, sync, error);
}

bool read_command_line(int argc, const char* const* argv, CommandLine& out, std::string& error) {
    if (!parse_command_line(argc, argv, out, error)) return false;
    Settings probe;
    return apply_settings(nullptr, out, probe, error);
}

bool hosted_installation(std::u16string_view folder, Installation& out, std::string& error) {
    if (folder.empty()) {
        error = "no folder for the Terminal";
        return false;
    }
    const std::u16string roaming = platform::roaming_folder();
    if (roaming.empty()) {
        error = "no roaming data folder: neither XDG_DATA_HOME nor HOME is set";
        return false;
    }
    // The folder as given, as terminal64 shows its own (the store's path
    // is resolved apart, where it is checked).
    out = Installation{};
    out.install_folder = std::u16string(folder);
    out.data_folder = out.install_folder;
    out.files_folder = out.install_folder;
    out.common_folder = join(join(join(roaming, u"Belvastor"), u"Terminal"), u"Common");
    out.portable = true;
    return true;
}

Host::Host() = default;
Host::~Host() = default;

int Host::build(const Installation& inst, const CommandLine& cli, std::string& error, const SettingsCheck& check) {
    std::string text;
    const IniFile file = read_file(inst.settings_file(), text) ? parse_ini(text) : IniFile{};
    Settings settings;
    if (!apply_settings(file.find("Terminal"), cli, settings, error) || !consistent_settings(settings, error))
        return kBadSetting;
    std::vector<Account> accounts = builtin_accounts();
    if (!load_accounts(file, accounts, error)) return kBadSetting;
    if (check && !check(settings, error)) return kSetUpFailed;
    if (const IniSection* section = file.find("Terminal"))
        for (const auto& [key, value] : section->entries)
            if (!is_setting(key))
                std::fprintf(stderr, "terminal64: terminal.ini: '%s' in [Terminal] is not a setting of this release: "
                             "kept in the file, not used\n", key.c_str());
    const MarketClock clock = MarketClock::from(settings.now_ms, settings.clock_ms, settings.speed, settings.step);

    // The trading store is checked and locked before anything else is
    // written: a second Terminal on the same store (another runtime folder,
    // another portable start) refuses here, leaving every file as it was.
    store_ = std::make_unique<Store>();
    if (settings.store_memory) {
        store_->open_in_memory();
    } else if (!store_->open(inst, clock, settings.store_sync, error)) {
        store_.reset();
        return kSetUpFailed;
    }
    if (!prepare_folders(inst, error)) return kSetUpFailed;
    rewrite_settings(inst, file);

    AccountHistory history;
    if (read_file(inst.accounts_file(), text)) history = parse_history(text);

    market_ = std::make_unique<Market>(settings.history_start_day, clock);
    load_imported(*market_, inst.files_folder);
    terminal_ = std::make_unique<Terminal>(std::move(settings), inst, std::move(accounts), std::move(history),
                                           *market_, *store_->store);
    return 0;
}

}  // namespace qvn::terminal
