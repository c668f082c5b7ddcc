// Unit tests of the quote board: a summary brought forward as the clock
// moves must equal one computed afresh at the later instant, within a day,
// across a night or weekend without ticks, and into a new day.
#include <cstring>

#include "check.hpp"
#include "terminal/market/quotes.hpp"

namespace {

namespace term = qvn::terminal;

constexpr std::int64_t kHour = 3600000;
// 2024-03-14 00:00 UTC, a Thursday.
constexpr std::int64_t kThursday = 1710374400000;

bool same(const term::DaySummary& a, const term::DaySummary& b) {
    return a.quoted == b.quoted && std::memcmp(&a.latest, &b.latest, sizeof a.latest) == 0 && a.day == b.day &&
           a.upto_ms == b.upto_ms && a.open == b.open && a.previous_close == b.previous_close &&
           a.bid_high == b.bid_high && a.bid_low == b.bid_low && a.ask_high == b.ask_high &&
           a.ask_low == b.ask_low && a.last_high == b.last_high && a.last_low == b.last_low &&
           a.deals == b.deals && a.buys == b.buys && a.sells == b.sells && a.last_volume == b.last_volume &&
           a.volume_high == b.volume_high && a.volume_low == b.volume_low && a.volume_real == b.volume_real &&
           a.turnover == b.turnover;
}

}  // namespace

int main() {
    term::Market market(term::days_from_civil(2020, 1, 1), term::MarketClock(std::optional<std::int64_t>()));
    struct Step {
        std::int64_t from, to;
    };
    const Step steps[] = {
        {kThursday + 10 * kHour, kThursday + 10 * kHour + 1234},  // within a busy hour
        {kThursday + 12 * kHour, kThursday + 13 * kHour},
        {kThursday + 23 * kHour, kThursday + 25 * kHour},       // into Friday
        {kThursday + 45 * kHour, kThursday + 58 * kHour},       // Friday night into Saturday
        {kThursday + 60 * kHour, kThursday + 70 * kHour},       // within the weekend
    };
    for (const char16_t* name : {u"EURUSD", u"US500", u"BTCUSD"}) {
        const term::PriceSource* s = market.find(name);
        CHECK(s != nullptr);
        if (s == nullptr) continue;
        for (const Step& st : steps) {
            term::QuoteBoard moving(market);
            const term::DaySummary before = moving.summary(*s, st.from);
            const term::DaySummary after = moving.summary(*s, st.to);
            term::QuoteBoard fresh(market);
            CHECK(same(after, fresh.summary(*s, st.to)));
            CHECK(before.quoted && after.quoted && after.latest.time_msc >= before.latest.time_msc);
            CHECK(after.latest.time_msc <= st.to);
        }
    }
    return qvn::test::finish("terminal quotes");
}
