// Unit tests of the trading store and the engine's transactions: every
// record reads back as the bytes committed, with the values SQLite cannot
// hold in a column's type (-0.0, NaN, a u64 above 2^63 - 1, text with a lone
// surrogate or units after its end) included; a commit that fails leaves
// memory and disk as they were (for every trade of a group committed
// together, and for a catch-up walk, which a reader is still shown). Also
// the clock's command-line forms.
// The trading rules themselves are tested through the program; here, how
// many ticks the catch-up walk reads to apply them (counted, not timed).
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <utility>

#include "check.hpp"
#include "protocol/text.hpp"
#include "terminal/config/settings.hpp"
#include "terminal/market/quotes.hpp"
#include "terminal/trading/engine.hpp"
#include "terminal/trading/moment.hpp"

namespace {

namespace term = qvn::terminal;
namespace wire = qvn::wire;

// The clock's start as the command line gives it; -1 when refused.
void test_clock_settings() {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"2024-03-13T12:00:00Z", 1710331200000}, {"2024-03-13T12:00:00.250Z", 1710331200250},
        {"1710331200.5", 1710331200500},         {"2024-03-13T24:00:00Z", -1},
        {"2024-03-13T12:00:00", -1},             {"2024-02-30T12:00:00Z", -1},
        {"2024-03-13T12:00:60Z", -1},            {"2024-03-13T12:00:.5Z", -1},
        {"2024-03-13 12:00:00Z", -1},            {"soon", -1}};
    for (const auto& [text, ms] : cases) {
        const char* argv[] = {"terminal64", "--clock", text};
        term::CommandLine cli;
        std::string error;
        term::Settings s;
        const bool ok = term::parse_command_line(3, argv, cli, error) && term::apply_settings(nullptr, cli, s, error);
        CHECK((ok ? s.clock_ms.value_or(-1) : -1) == ms);
    }
}

template <class Record>
bool same(const Record& a, const Record& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

constexpr std::int64_t kWedNoonMs = 1710331200000;  // forex trades

// A Terminal's trading parts over a store in a private folder, or in memory.
struct Desk {
    const qvn::test::TempFolder folder;
    term::Market market{term::kDefaultHistoryStartDay, term::MarketClock(kWedNoonMs)};
    term::Catalogue catalogue{market, 0};
    term::QuoteBoard quotes{market};
    term::MarketWatch watch{catalogue};
    term::TradeStore store;
    term::Trading trading{market, catalogue, quotes, watch, store};
    const term::Account account = term::builtin_accounts()[0];

    explicit Desk(bool memory = false) : memory(memory) {
        std::string error;
        if (memory) store.open_in_memory();
        else CHECK(store.open(folder.file("trading.db"), error));
    }
    const bool memory;

    wire::TradeSendResultRecord send(const term::Account& whose, const wire::TradeRequestRecord& req) {
        term::Trading::Session s = trading.begin_trade(whose, kWedNoonMs);
        CHECK(s.ok());
        return trading.send(s, req);
    }
    // An account's book as another connection reads it from the file (as
    // the store reads it, for a store in memory).
    term::StoredBook on_disk(std::uint64_t login) {
        term::TradeStore other;
        std::string error;
        term::StoredBook book;
        if (memory) CHECK(store.load(login, book) == term::TradeStore::Load::Found);
        else CHECK(other.open(folder.file("trading.db"), error) && other.load(login, book) == term::TradeStore::Load::Found);
        return book;
    }
    // The account in memory and on disk, to compare two states exactly.
    std::string state(const term::Account& whose);
    std::string state() { return state(account); }
};

void test_records_read_back_byte_for_byte() {
    const double negative_zero = -0.0;
    const double nan = std::bit_cast<double>(std::uint64_t{0x7FF8DEADBEEF0001});

    term::ChangeSet c;
    c.account = {5001001, negative_zero, 12, 1710331200000};
    wire::TradePositionRecord p{};
    p.ticket = 7;
    p.magic = std::numeric_limits<std::uint64_t>::max();
    p.volume = 0.1;
    p.price_open = 1.08123;
    p.swap = negative_zero;
    p.profit = nan;
    p.sl = 1e300;
    for (std::uint8_t i = 0; i < 8; ++i) p.reserved[i] = static_cast<std::uint8_t>(0xA0 + i);
    qvn::protocol::put_field(p.symbol, sizeof p.symbol, u"EURUSD");
    qvn::protocol::put_field(p.comment, sizeof p.comment, u"a\xDC80" u"b");  // a lone surrogate
    std::memcpy(p.external_id, u"x\0y", 3 * sizeof(char16_t));       // a unit after the end
    c.put_positions.push_back(p);
    wire::TradeOrderRecord o{};
    o.ticket = 9;
    o.time_setup = -1;
    o.type = 0xFFFFFFFFu;
    o.price_open = 2.0;  // integral: REAL columns keep it as an integer
    qvn::protocol::put_field(o.symbol, sizeof o.symbol, u"GER40");
    qvn::protocol::put_field(o.comment, sizeof o.comment, u"\xD83D\xDE00 ok");  // a surrogate pair is plain text
    c.put_orders.push_back(o);
    c.history_orders.push_back(o);
    wire::TradeDealRecord d{};
    d.ticket = 11;
    d.profit = negative_zero;
    d.commission = -0.25;
    d.position_id = std::uint64_t{1} << 63;
    qvn::protocol::put_field(d.symbol, sizeof d.symbol, u"XAUUSD");
    c.deals.push_back(d);

    Desk desk;
    CHECK(desk.store.commit(c));
    const term::StoredBook book = desk.on_disk(5001001);
    CHECK(std::signbit(book.account.balance) && book.account.next_ticket == 12);
    CHECK(book.positions.size() == 1 && same(book.positions[0], p));
    CHECK(book.orders.size() == 1 && same(book.orders[0], o));
    CHECK(book.history_orders.size() == 1 && same(book.history_orders[0], o));
    CHECK(book.deals.size() == 1 && same(book.deals[0], d));
}

wire::TradeRequestRecord request(term::TradeAction action, term::OrderType type, double volume) {
    wire::TradeRequestRecord r{};
    r.action = static_cast<std::uint32_t>(action);
    r.type = static_cast<std::uint32_t>(type);
    r.volume = volume;
    qvn::protocol::put_field(r.symbol, sizeof r.symbol, u"EURUSD");
    return r;
}

// The whole of a book as bytes, to compare two states exactly.
std::string image(const term::AccountBook& b) {
    std::string out = std::to_string(b.balance()) + "/" + std::to_string(b.next_ticket()) + "/" +
                      std::to_string(b.evaluated_ms()) + "/" + std::to_string(b.swap_total()) + "/";
    const auto add = [&out](const auto& r) { out.append(reinterpret_cast<const char*>(&r), sizeof r); };
    for (const auto& [t, p] : b.positions()) add(p.record);
    for (const auto& [t, o] : b.orders()) add(o.record);
    for (const auto& r : b.history_orders()) add(r);
    for (const auto& r : b.deals()) add(r);
    for (const auto& [i, s] : b.symbols())
        out += std::to_string(i) + ":" + std::to_string(s.buy.volume) + "," + std::to_string(s.sell.volume) + "," +
               std::to_string(s.buy_limits.size() + s.buy_sl.size() + s.buy_tp.size()) + ";";
    return out;
}

std::string Desk::state(const term::Account& whose) {
    term::Trading::Session s = trading.begin(whose, kWedNoonMs);
    CHECK(s.ok());
    const std::string memory = s.ok() ? image(s.book()) : std::string();
    s.release();
    term::AccountBook disk(whose.login, catalogue, 2);  // to the cent
    disk.load(on_disk(whose.login));
    return memory + "|" + image(disk);
}

// The account walked to `later` (over a rollover: the position's swap is
// charged), as its book's image; empty when the walk is refused.
std::string walked_to(Desk& desk, std::int64_t later) {
    term::Trading::Session s = desk.trading.begin(desk.account, later);
    CHECK(s.ok() && s.book().evaluated_ms() == later && s.book().swap_total() != 0);
    return s.ok() ? image(s.book()) : std::string();
}

// Two trades on one account and one on another, committed as one group
// (the held session on the second account keeps the group gathering until
// its own trade joins): all three are stored, in order, or, when the
// group's commit fails midway, all three are refused (STORAGE) and both
// accounts are as they were, in memory and on disk. A catch-up walk that
// cannot be stored is shown to its reader and leaves the account as it was
// for the next request, which walks again (and stores the walk); a trade
// after it is refused (STORAGE).
void test_group_commit_is_all_or_nothing() {
    using term::OrderType;
    using term::TradeAction;
    for (const bool fail : {false, true}) {
        Desk desk;
        const term::Account second = term::builtin_accounts()[3];
        CHECK(desk.send(desk.account, request(TradeAction::Deal, OrderType::Buy, 0.2)).retcode == 1);
        CHECK(desk.send(second, request(TradeAction::Deal, OrderType::Buy, 0.1)).retcode == 1);
        const std::string before = desk.state(), before2 = desk.state(second);

        term::Trading::Session held = desk.trading.begin_trade(second, kWedNoonMs);
        CHECK(held.ok());
        wire::TradeSendResultRecord first{}, then{};
        const auto trade = [&desk](OrderType type, double volume, wire::TradeSendResultRecord& out) {
            out = desk.send(desk.account, request(TradeAction::Deal, type, volume));
        };
        std::thread a(trade, OrderType::Buy, 0.3, std::ref(first));
        while (desk.trading.gathering() < 1) std::this_thread::yield();
        std::thread b(trade, OrderType::Sell, 0.1, std::ref(then));
        while (desk.trading.gathering() < 2) std::this_thread::yield();
        if (fail) desk.store.fail_commit_after(5);  // a buy writes four rows: inside the second change set
        const wire::TradeSendResultRecord last =
            desk.trading.send(held, request(TradeAction::Deal, OrderType::Sell, 0.1));
        a.join();
        b.join();
        if (fail) {
            for (const wire::TradeSendResultRecord& r : {first, then, last})
                CHECK(r.retcode == 34 && r.order == 0 && r.deal == 0);
            CHECK(desk.state() == before && desk.state(second) == before2);
            // A walk over a rollover, which charges the position's swap.
            const std::int64_t later = kWedNoonMs + 13 * 3600000;
            const auto walked = [&] { return walked_to(desk, later); };
            desk.store.fail_commit_after(1);
            const std::string shown = walked();
            CHECK(desk.state() == before);
            desk.store.fail_commit_after(1);
            term::Trading::Session t = desk.trading.begin_trade(desk.account, later);
            const wire::TradeSendResultRecord refused =
                desk.trading.send(t, request(TradeAction::Deal, OrderType::Buy, 0.1));
            CHECK(refused.retcode == 34 && refused.order == 0);
            CHECK(desk.state() == before);
            CHECK(walked() == shown && desk.on_disk(desk.account.login).account.evaluated_ms == later);
        } else {
            CHECK(first.retcode == 1 && then.retcode == 1 && last.retcode == 1);
            CHECK(first.order < then.order);  // applied in the order they joined
            const term::StoredBook book = desk.on_disk(desk.account.login);
            CHECK(book.positions.size() == 3 && book.deals.size() == 4);  // the opening balance too
            if (book.deals.size() == 4) CHECK(book.deals[2].order == first.order && book.deals[3].order == then.order);
        }
    }
}

// A store in memory takes each trade's rows at once and alone: nothing
// gathers, and a trade whose rows it refuses is refused (STORAGE) with the
// account as it was, in the book and in the store. A catch-up walk it
// refuses is shown to its reader and done again by the next request; a
// trade after such a walk is refused, as the group holding both would be.
void test_a_store_in_memory_takes_each_trade_alone() {
    using term::OrderType;
    using term::TradeAction;
    Desk desk(true);
    CHECK(desk.send(desk.account, request(TradeAction::Deal, OrderType::Buy, 0.2)).retcode == 1);
    CHECK(desk.trading.gathering() == 0);
    const std::string before = desk.state();
    desk.store.fail_commit_after(2);  // the buy's position row (after the account row)
    wire::TradeSendResultRecord r = desk.send(desk.account, request(TradeAction::Deal, OrderType::Buy, 0.1));
    CHECK(r.retcode == 34 && r.order == 0 && r.deal == 0 && desk.state() == before);
    char16_t comment[sizeof r.comment / sizeof(char16_t)];
    std::memcpy(comment, r.comment, sizeof comment);
    CHECK(std::u16string(comment, std::char_traits<char16_t>::length(comment)) == u"Trade could not be stored");

    const std::int64_t later = kWedNoonMs + 13 * 3600000;  // over a rollover: a swap is charged
    const auto walked = [&] { return walked_to(desk, later); };
    desk.store.fail_commit_after(1);
    const std::string shown = walked();
    CHECK(desk.state() == before);
    desk.store.fail_commit_after(1);
    {
        // A refused session holds the account until it ends, as a request's does.
        term::Trading::Session t = desk.trading.begin_trade(desk.account, later);
        r = desk.trading.send(t, request(TradeAction::Deal, OrderType::Buy, 0.1));
    }
    CHECK(r.retcode == 34 && r.order == 0 && desk.state() == before);
    CHECK(walked() == shown && desk.on_disk(desk.account.login).account.evaluated_ms == later);
    term::Trading::Session u = desk.trading.begin_trade(desk.account, later);
    r = desk.trading.send(u, request(TradeAction::Deal, OrderType::Buy, 0.1));
    const term::StoredBook book = desk.on_disk(desk.account.login);
    CHECK(r.retcode == 1 && book.positions.size() == 2 && book.deals.size() == 3 && book.deals[2].order == r.order);
}

// A group whose log runs past what one write of the file layer takes
// (128 KiB): every row is stored, none is refused as a full disk.
void test_a_group_larger_than_one_write_is_stored() {
    std::vector<term::ChangeSet> sets(3);
    std::vector<const term::ChangeSet*> group;
    std::uint64_t ticket = 1;
    for (term::ChangeSet& c : sets) {
        for (int i = 0; i < 600; ++i) {
            wire::TradePositionRecord p{};
            p.ticket = p.identifier = ticket++;
            p.volume = 0.01;
            p.price_open = 1.08 + 1e-5 * static_cast<double>(p.ticket);
            qvn::protocol::put_field(p.symbol, sizeof p.symbol, u"EURUSD");
            qvn::protocol::put_field(p.comment, sizeof p.comment, u"one of many, to fill the row");
            c.put_positions.push_back(p);
        }
        c.account = {5001001, 10000.0, ticket, kWedNoonMs};
        group.push_back(&c);
    }
    Desk desk;
    CHECK(desk.store.commit(group));
    const term::StoredBook book = desk.on_disk(5001001);
    CHECK(book.account.next_ticket == 1801 && book.positions.size() == 1800);
    for (std::size_t i = 0; i < book.positions.size() && i < 1800; ++i)
        CHECK(same(book.positions[i], sets[i / 600].put_positions[i % 600]));
}

// What a walk reads: no tick without a level (a rollover is charged all
// the same), none while the quotes' bounds stay clear of far stops, and
// near a stop only the stretches that may reach it, up to the very tick a
// walk over every quote finds (the deal's time and price). EURUSD's bid,
// 1.07197 at noon, stays within 1.07115 ... 1.07527 (ask) over the next 13
// hours and first reaches 1.07477 about two hours in.
void test_a_walk_reads_only_what_can_fire() {
    using term::OrderType;
    using term::TradeAction;
    struct Row {
        bool position;
        double sl, tp;         // below and above noon's bid; 0: none
        std::uint64_t walked;  // quote ticks read in the 13 hours
        std::uint64_t closed;  // by which stop, else 0
    };
    const Row rows[] = {
        {false, 0, 0, 0, 0},              // nothing that fires
        {true, 0, 0, 0, 0},               // a position without stops: its swap at midnight
        {true, 0.0100, 0.0100, 0, 0},     // stops far from every quote
        {true, 0.0100, 0.0028, 3080, 5},  // a take profit two hours on: 3 080 of its 5 281 quotes
        {true, 0.0004, 0.0100, 231, 4},   // a stop loss reached at once: every quote to it
    };
    for (const Row& row : rows) {
        Desk desk;
        const term::PriceSource& eurusd = *desk.catalogue[desk.catalogue.index_of(u"EURUSD")].source;
        const double bid = eurusd.latest(kWedNoonMs)->bid;
        const auto at = [](double price) { return std::round(price * 1e5) / 1e5; };
        const double sl = row.sl != 0 ? at(bid - row.sl) : 0.0, tp = row.tp != 0 ? at(bid + row.tp) : 0.0;
        if (row.position) {
            wire::TradeRequestRecord buy = request(TradeAction::Deal, OrderType::Buy, 0.1);
            buy.sl = sl;
            buy.tp = tp;
            CHECK(desk.send(desk.account, buy).retcode == 1);
        }
        const std::uint64_t before = desk.trading.ticks_walked();
        const std::int64_t later = kWedNoonMs + 13 * 3600000;
        term::Trading::Session s = desk.trading.begin(desk.account, later);
        CHECK(s.ok());
        if (!s.ok()) continue;
        const std::uint64_t walked = desk.trading.ticks_walked() - before;
        CHECK(walked == row.walked && s.book().positions().empty() == (!row.position || row.closed != 0));
        CHECK((s.book().swap_total() != 0) == (row.position && row.closed == 0));  // the night's swap
        if (row.closed == 0) continue;
        // The first quote from the fill on that reaches a stop.
        wire::TickRecord hit{};
        const auto reader = eurusd.read(term::TickSpan{kWedNoonMs + 1, later}, term::TickFilter{true, false});
        for (wire::TickRecord t{}; hit.time_msc == 0 && reader->fill(&t, 1) == 1;) {
            if (t.bid <= sl || t.bid >= tp) hit = t;
        }
        const wire::TradeDealRecord& out = s.book().deals().back();
        CHECK(hit.time_msc != 0 && out.time_msc == hit.time_msc && out.price == hit.bid && out.reason == row.closed);
    }
}

// A moment's quotes (the first few kept in place, any more in a map) are
// each symbol's latest tick at its time, the same when asked again, and
// those of a moment at the clock's now are the board's.
void test_a_moment_quotes_every_symbol_it_is_asked_for() {
    Desk desk;
    const auto& sources = desk.market.sources();
    CHECK(sources.size() > 8);
    for (const bool now : {true, false}) {
        term::MarketMoment at(desk.market, desk.quotes, kWedNoonMs, now);
        for (int round = 0; round < 2; ++round) {
            for (const auto& source : sources) {
                const auto tick = source->latest(kWedNoonMs);
                const term::Quote q = at.quote(*source);
                CHECK(q.valid == tick.has_value());
                if (tick) CHECK(q.bid == tick->bid && q.ask == tick->ask);
            }
        }
    }
}

// The funds figured at an instant are kept for the next request at it and
// go with the first change to the book: each trade at noon, and a
// refused one changing nothing, shows in the figures read after it, which
// equal those of an account that made its trades in one session.
void test_funds_follow_each_trade_at_one_instant() {
    Desk desk, fresh;
    const auto figures = [](Desk& d) {
        term::Trading::Session s = d.trading.begin(d.account, kWedNoonMs);
        CHECK(s.ok());
        return s.ok() ? d.trading.figures(s) : term::Figures{};
    };
    double margin = figures(desk).margin;
    CHECK(margin == 0);
    for (const double volume : {0.1, 0.2, 1e6}) {  // the last one is refused
        const std::uint32_t retcode =
            desk.send(desk.account, request(term::TradeAction::Deal, term::OrderType::Buy, volume)).retcode;
        CHECK((retcode == 1) == (volume < 1));
        const term::Figures f = figures(desk);
        CHECK(volume < 1 ? f.margin > margin : f.margin == margin);
        margin = f.margin;
        if (volume < 1) {
            CHECK(fresh.send(fresh.account, request(term::TradeAction::Deal, term::OrderType::Buy, volume)).retcode == 1);
        }
    }
    const term::Figures a = figures(desk), b = figures(fresh);
    CHECK(a.balance == b.balance && a.equity == b.equity && a.margin == b.margin && a.margin_level == b.margin_level);
}

}  // namespace

int main() {
    test_funds_follow_each_trade_at_one_instant();
    test_a_moment_quotes_every_symbol_it_is_asked_for();
    test_a_walk_reads_only_what_can_fire();
    test_records_read_back_byte_for_byte();
    test_clock_settings();
    test_group_commit_is_all_or_nothing();
    test_a_store_in_memory_takes_each_trade_alone();
    test_a_group_larger_than_one_write_is_stored();
    return qvn::test::finish("terminal trading");
}
