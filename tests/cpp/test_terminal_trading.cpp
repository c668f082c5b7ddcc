// Unit tests of the moving clock the trading engine runs on: its command-line
// forms and its pace. The trading database is tested through the program
// (tests/terminal), across restarts and kills.
#include <string>

#include "check.hpp"
#include "terminal/config/settings.hpp"
#include "terminal/market/market.hpp"

namespace {

namespace term = qvn::terminal;

bool clock_option(const char* value, std::int64_t& ms) {
    const char* argv[] = {"terminal64", "--clock", value};
    term::CommandLine cli;
    std::string error;
    term::Settings s;
    if (!term::parse_command_line(3, argv, cli, error) || !term::apply_settings(nullptr, cli, s, error)) return false;
    if (!s.clock_ms) return false;
    ms = *s.clock_ms;
    return true;
}

void test_clock_settings() {
    std::int64_t ms = 0;
    CHECK(clock_option("2024-03-13T12:00:00Z", ms) && ms == 1710331200000);
    CHECK(clock_option("2024-03-13T12:00:00.250Z", ms) && ms == 1710331200250);
    CHECK(clock_option("1710331200.5", ms) && ms == 1710331200500);
    for (const char* bad : {"2024-03-13T24:00:00Z", "2024-03-13T12:00:00", "2024-02-30T12:00:00Z",
                            "2024-03-13T12:00:60Z", "2024-03-13T12:00:.5Z", "2024-03-13 12:00:00Z", "soon"})
        CHECK(!clock_option(bad, ms));

    const term::MarketClock clock = term::MarketClock::moving(1000, 1000);
    const std::int64_t a = clock.now_ms();
    const std::int64_t b = clock.now_ms();
    CHECK(a >= 1000 && b >= a);
}

}  // namespace

int main() {
    test_clock_settings();
    return qvn::test::finish("terminal trading");
}
