// Unit tests of the pieces the trading engine stands on: the moving clock's
// settings and the trading database's round trip.
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "check.hpp"
#include "protocol/text.hpp"
#include "terminal/config/settings.hpp"
#include "terminal/market/market.hpp"
#include "terminal/store/trade_store.hpp"

namespace {

namespace term = qvn::terminal;
namespace wire = qvn::wire;

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

wire::TradePositionRecord position(std::uint64_t ticket, double volume) {
    wire::TradePositionRecord p{};
    p.ticket = ticket;
    p.identifier = ticket;
    p.volume = volume;
    qvn::protocol::put_field(p.symbol, sizeof p.symbol, u"EURUSD");
    return p;
}

void test_store_round_trip() {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("qvn-trading-test-" + std::to_string(std::random_device{}()) + ".db");
    std::filesystem::remove(path);
    {
        term::TradeStore store;
        std::string error;
        CHECK(store.open(qvn::protocol::path_to_utf16(path.string()), error));
        term::AccountBook book;
        book.login = 42;
        CHECK(store.load(42, book) == term::TradeStore::Load::Missing);

        term::Draft draft(book);
        draft.balance = 100.25;
        draft.positions.push_back(position(draft.ticket(), 0.5));
        wire::TradeDealRecord deal{};
        deal.ticket = draft.ticket();
        deal.profit = 100.25;
        draft.new_deals.push_back(deal);
        CHECK(store.commit(book, draft));
        std::move(draft).apply_to(book);

        // A second trade closes the position and adds a history order.
        term::Draft next(book);
        next.positions.clear();
        wire::TradeOrderRecord order{};
        order.ticket = next.ticket();
        next.new_history_orders.push_back(order);
        CHECK(store.commit(book, next));
    }
    {
        term::TradeStore reopened;
        std::string error;
        CHECK(reopened.open(qvn::protocol::path_to_utf16(path.string()), error));
        term::AccountBook back;
        CHECK(reopened.load(42, back) == term::TradeStore::Load::Found);
        CHECK(back.balance == 100.25 && back.next_ticket == 4);
        CHECK(back.positions.empty() && back.deals.size() == 1 && back.history_orders.size() == 1);
        if (back.deals.size() == 1) {
            const double profit = back.deals[0].profit;
            CHECK(profit == 100.25);
        }
    }
#ifndef _WIN32
    // Windows keeps other users out through the profile folder's access list.
    CHECK((std::filesystem::status(path).permissions() & std::filesystem::perms::all) ==
          (std::filesystem::perms::owner_read | std::filesystem::perms::owner_write));
#endif
    // Closed above: Windows removes no file that is still open.
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + suffix);
}

}  // namespace

int main() {
    test_clock_settings();
    test_store_round_trip();
    return qvn::test::finish("terminal trading");
}
