// The trading store: every record reads back as the bytes committed, with
// the values SQLite cannot hold in a column's type (-0.0, NaN, a u64 above
// 2^63 - 1, text with a lone surrogate or units after its end) included.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "check.hpp"
#include "terminal/store/trade_store.hpp"

namespace {

namespace term = qvn::terminal;
namespace wire = qvn::wire;

template <class Record>
bool same(const Record& a, const Record& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

template <class Record>
void fill_text(Record& r, const std::u16string& symbol, const std::u16string& comment) {
    std::memcpy(r.symbol, symbol.data(), symbol.size() * sizeof(char16_t));
    std::memcpy(r.comment, comment.data(), comment.size() * sizeof(char16_t));
}

void test_records_read_back_byte_for_byte() {
    const qvn::test::TempFolder folder;
    const std::string path = folder.file("trading.db");
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
    fill_text(p, u"EURUSD", std::u16string(u"a\xDC80" u"b"));        // a lone surrogate
    std::memcpy(p.external_id, u"x\0y", 3 * sizeof(char16_t));       // a unit after the end
    c.put_positions.push_back(p);
    wire::TradeOrderRecord o{};
    o.ticket = 9;
    o.time_setup = -1;
    o.type = 0xFFFFFFFFu;
    o.price_open = 2.0;  // integral: REAL columns keep it as an integer
    fill_text(o, u"GER40", u"\xD83D\xDE00 ok");                       // a surrogate pair is plain text
    c.put_orders.push_back(o);
    c.history_orders.push_back(o);
    wire::TradeDealRecord d{};
    d.ticket = 11;
    d.profit = negative_zero;
    d.commission = -0.25;
    d.position_id = std::uint64_t{1} << 63;
    fill_text(d, u"XAUUSD", u"");
    c.deals.push_back(d);

    {
        term::TradeStore store;
        std::string error;
        CHECK(store.open(path, error));
        CHECK(store.commit(c));
    }
    term::TradeStore again;
    std::string error;
    CHECK(again.open(path, error));
    term::StoredBook book;
    CHECK(again.load(5001001, book) == term::TradeStore::Load::Found);
    CHECK(std::signbit(book.account.balance) && book.account.next_ticket == 12);
    CHECK(book.positions.size() == 1 && same(book.positions[0], p));
    CHECK(book.orders.size() == 1 && same(book.orders[0], o));
    CHECK(book.history_orders.size() == 1 && same(book.history_orders[0], o));
    CHECK(book.deals.size() == 1 && same(book.deals[0], d));
    bool ok = false;
    CHECK(again.last_activity(ok) == std::optional<std::int64_t>(1710331200000) && ok);
}

}  // namespace

int main() {
    test_records_read_back_byte_for_byte();
    return qvn::test::finish("terminal store");
}
