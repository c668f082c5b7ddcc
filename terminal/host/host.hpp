// How a Terminal is made: its settings (the defaults, terminal.ini, the
// command line), the trading store of its clock, its folders, the market
// with the imported symbols, and the Terminal itself. terminal64 (main.cpp)
// builds its Terminal here and serves it on its endpoint; the module builds
// one here in its own process (an in-process backtest) and calls it
// directly. Whatever a start refuses, it refuses the same way for both.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "terminal/config/settings.hpp"
#include "terminal/market/market.hpp"
#include "terminal/store/installation.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {

// terminal64's exit codes for a refused start.
inline constexpr int kSetUpFailed = 1;   // folders, the trading store
inline constexpr int kBadSetting = 2;    // an unknown option, a malformed or inconsistent setting

// Reads the command line and checks its values, before anything is touched:
// false, with `error` naming the option, for an unknown option or argument
// and for a malformed value (exit code kBadSetting).
bool read_command_line(int argc, const char* const* argv, CommandLine& out, std::string& error);

// The installation of a Terminal hosted in another program's process: kept
// whole in `folder`, as a portable one is (config/, QSL/, the trading store),
// with origin.txt and portable.txt in `folder` too, so nothing is written
// under the roaming folder but the Common folder every Terminal shares. It
// has no executable and no endpoint.
bool hosted_installation(std::u16string_view folder, Installation& out, std::string& error);

class Host {
public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // What the host checks of the settings once they are read, before the
    // store is touched (terminal64: that its --owner-pid process runs);
    // false, with the error set, refuses the start (kSetUpFailed).
    using SettingsCheck = std::function<bool(const Settings&, std::string& error)>;

    // Builds the Terminal of `inst` (located, and for terminal64 its
    // instance lock taken) as `cli` asks: 0, or the exit code (kSetUpFailed,
    // kBadSetting) with `error` set, having written nothing when the store
    // or a setting is refused. Once only.
    int build(const Installation& inst, const CommandLine& cli, std::string& error,
              const SettingsCheck& check = {});

    // After a build that succeeded.
    Terminal& terminal() noexcept { return *terminal_; }
    Market& market() noexcept { return *market_; }

private:
    struct Store;
    // Destroyed in reverse: the Terminal, then the market it prices from,
    // then the store it trades in (closed, then unlocked).
    std::unique_ptr<Store> store_;
    std::unique_ptr<Market> market_;
    std::unique_ptr<Terminal> terminal_;
};

}  // namespace qvn::terminal
