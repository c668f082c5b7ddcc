// terminal64: the simulated Quorvane Terminal.
//
// Exit codes: 0 after a clean shutdown (stop request, idle limit, the end of
// the --owner-pid process) and when another copy already runs for this
// executable path; 1 when the Terminal cannot set itself up (the
// --owner-pid process is not running, folders, endpoint, a trading store
// that another Terminal holds, that is unsafe or damaged, or, on the wall
// clock, whose last activity is later than the clock); 2 for a malformed
// setting or an unknown option.
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/platform.hpp"
#include "terminal/host/host.hpp"
#include "terminal/market/clock.hpp"
#include "terminal/server/server.hpp"
#include "terminal/server/stop.hpp"
#include "terminal/store/installation.hpp"
#include "terminal/store/instance_lock.hpp"

namespace {

namespace platform = qvn::platform;
namespace term = qvn::terminal;

int fail(int code, const std::string& message) {
    std::fprintf(stderr, "terminal64: %s\n", message.c_str());
    return code;
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

int run(int argc, char** argv) {
    // A stop request from here on ends the run cleanly, whenever it comes.
    term::StopRequest stop;

    term::CommandLine cli;
    std::string error;
    if (!term::read_command_line(argc, argv, cli, error)) return fail(term::kBadSetting, error);

    term::Installation inst;
    if (!term::locate_installation(cli.portable, inst, error)) return fail(term::kSetUpFailed, error);

    std::string folder;
    if (!platform::endpoint_folder(folder, error)) return fail(term::kSetUpFailed, error);
    term::InstanceLock lock;
    const std::string lock_path = folder + static_cast<char>(platform::kPathSeparator) + inst.endpoint_name + ".pid";
    switch (lock.acquire(lock_path, error)) {
        case term::InstanceLock::Result::Held: return 0;  // that copy serves this installation
        case term::InstanceLock::Result::Failed: return fail(term::kSetUpFailed, error);
        case term::InstanceLock::Result::Acquired: break;
    }

    term::Host host;
    const auto owner_runs = [&stop](const term::Settings& s, std::string& why) {
        return s.owner_pid == 0 || stop.follow_owner(s.owner_pid, why);
    };
    if (const int code = host.build(inst, cli, error, owner_runs); code != 0) return fail(code, error);
    term::Terminal& terminal = host.terminal();

    platform::UniqueHandle listener;
    std::string endpoint_path;
    if (!terminal.settings().no_endpoint) {
        listener = platform::UniqueHandle(platform::listen_endpoint(inst.endpoint_name, endpoint_path, error));
        if (!listener.valid()) return fail(term::kSetUpFailed, error);
        std::fprintf(stderr, "terminal64: serving %s\n", endpoint_path.c_str());
    }
    // Published once the endpoint exists: whoever waits for the run's details
    // can connect at once. A client that found no endpoint earlier would start
    // a Terminal of its own, which outlives this one if this one ends first.
    const auto wall = std::chrono::system_clock::now().time_since_epoch();
    lock.publish(run_details(argc, argv, host.market().clock(),
                             std::chrono::duration_cast<std::chrono::milliseconds>(wall).count()));
    term::serve(terminal, listener.get(), endpoint_path, stop.handle(), terminal.settings().idle_exit_s);
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
