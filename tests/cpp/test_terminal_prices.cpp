// Unit tests of the Terminal's prices: currency conversion on paths a
// running Terminal never takes with its own table (a missing pair, an
// inverse path through USD on both legs), and the quote board, whose
// summary brought forward as the clock moves must equal one computed afresh
// at the later instant, within a day, across a night or weekend without
// ticks, and into a new day. Also the bounds the model gives on its quotes
// without making them (what lets the catch-up walk skip stretches): every
// quote lies inside the bounds of its stretch.
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "check.hpp"
#include "terminal/market/calc.hpp"
#include "terminal/market/quotes.hpp"

namespace {

namespace term = qvn::terminal;

bool near(const std::optional<double>& got, double want) {
    return got.has_value() && std::fabs(*got - want) <= 1e-12 * std::fabs(want);
}

void test_factor_paths() {
    const term::Rates rates({{"EUR", "USD", 1.10, 1.11}, {"USD", "JPY", 150.0, 151.0}, {"GBP", "USD", 1.25, 1.26}});
    CHECK(near(rates.factor("USD", "USD"), 1.0));
    CHECK(near(rates.factor("EUR", "USD"), 1.10));                                // × bid
    CHECK(near(rates.factor("EUR", "USD", term::RateSide::Ask), 1.11));
    CHECK(near(rates.factor("USD", "EUR"), 1.0 / 1.11));                          // ÷ ask
    CHECK(near(rates.factor("JPY", "USD"), 1.0 / 151.0));
    CHECK(near(rates.factor("JPY", "EUR"), (1.0 / 151.0) * (1.0 / 1.11)));        // both legs inverse
    CHECK(near(rates.factor("GBP", "JPY"), 1.25 * 150.0));
    CHECK(near(rates.factor("GBP", "JPY", term::RateSide::Ask), 1.26 * 151.0));
    CHECK(!rates.factor("CHF", "USD").has_value());
    CHECK(!rates.factor("CHF", "EUR").has_value());
    // A pair without a quote yet is no path.
    const term::Rates unquoted({{"EUR", "USD", 0.0, 0.0}});
    CHECK(!unquoted.factor("EUR", "USD").has_value());
}

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

void test_summaries_brought_forward() {
    term::Market market(term::days_from_civil(2020, 1, 1), term::MarketClock(std::optional<std::int64_t>()));
    const std::pair<std::int64_t, std::int64_t> steps[] = {
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
        for (const auto& [from, to] : steps) {
            term::QuoteBoard moving(market);
            const term::DaySummary before = moving.summary(*s, from);
            const term::DaySummary after = moving.summary(*s, to);
            term::QuoteBoard fresh(market);
            CHECK(same(after, fresh.summary(*s, to)));
            CHECK(before.quoted && after.quoted && after.latest.time_msc >= before.latest.time_msc);
            CHECK(after.latest.time_msc <= to);
        }
    }
}

// Every symbol of the table on a weekday, a Friday into the weekend and a
// Monday (whole days), and on a span cut inside minutes: the stretches come
// in time order inside the span, and each quote tick of the span lies in a
// stretch, its bid and ask within the stretch's bounds.
void test_quote_bounds_hold_every_quote() {
    term::Market market(term::days_from_civil(2020, 1, 1), term::MarketClock(std::optional<std::int64_t>()));
    constexpr std::int64_t kDay = 24 * kHour;
    const term::TickSpan spans[] = {{kThursday, kThursday + kDay - 1},
                                    {kThursday + kDay, kThursday + 3 * kDay - 1},
                                    {kThursday + 4 * kDay - 1234567, kThursday + 4 * kDay + 7654321}};
    std::vector<qvn::wire::TickRecord> ticks(4096);
    std::size_t quotes = 0, outside = 0, unbounded = 0;
    for (std::size_t i = 0; i < market.model_count(); ++i) {
        const term::PriceSource& s = *market.sources()[i];
        for (const term::TickSpan span : spans) {
            std::vector<term::QuoteBounds> stretches;
            s.bound_quotes(span, [&](const term::QuoteBounds& b) {
                stretches.push_back(b);
                return true;
            });
            std::int64_t after = span.lo_ms - 1;
            for (const term::QuoteBounds& b : stretches) {
                CHECK(b.span.lo_ms > after && b.span.lo_ms <= b.span.hi_ms && b.span.hi_ms <= span.hi_ms);
                after = b.span.hi_ms;
                unbounded += std::isfinite(b.bid_lo) && std::isfinite(b.ask_hi) ? 0 : 1;
            }
            auto stretch = stretches.begin();
            const auto reader = s.read(span, term::TickFilter{true, false});
            for (std::size_t n = ticks.size(); n == ticks.size();) {
                n = reader->fill(ticks.data(), ticks.size());
                for (std::size_t k = 0; k < n; ++k) {
                    const std::int64_t ms = ticks[k].time_msc;
                    const double bid = ticks[k].bid, ask = ticks[k].ask;
                    while (stretch != stretches.end() && stretch->span.hi_ms < ms) ++stretch;
                    ++quotes;
                    if (stretch == stretches.end() || stretch->span.lo_ms > ms || bid < stretch->bid_lo ||
                        bid > stretch->bid_hi || ask < stretch->ask_lo || ask > stretch->ask_hi)
                        ++outside;
                }
            }
        }
    }
    CHECK(quotes > 1000000 && outside == 0 && unbounded == 0);
}

}  // namespace

int main() {
    test_factor_paths();
    test_summaries_brought_forward();
    test_quote_bounds_hold_every_quote();
    return qvn::test::finish("terminal prices");
}
