// Unit tests of the kept bars: what a long request costs in days of ticks
// read (counted, never timed), and that the bars it gets from the books are
// the bytes the ticks give.
#include <cstring>
#include <vector>

#include "check.hpp"
#include "protocol/wire.hpp"
#include "terminal/market/bars.hpp"
#include "terminal/market/market.hpp"

namespace {

namespace term = qvn::terminal;
namespace wire = qvn::wire;
using TF = term::Timeframe;
using term::kMsPerDay;

// 2024-03-15 12:00:00.250 UTC, a Friday.
constexpr std::int64_t kNow = 1710504000250;
constexpr std::int64_t kHourMs = 3600000;
const std::int64_t kHistory = term::days_from_civil(2023, 1, 1);

term::Market make_market(term::BarBooks::Budgets budgets) {
    return term::Market(kHistory, term::MarketClock(std::optional<std::int64_t>(kNow)), budgets);
}

const term::PriceSource& eurusd(const term::Market& m) { return *m.find(u"EURUSD"); }

// A reply's bars: the plan's kept ones, then its tail built from the ticks.
std::vector<wire::BarRecord> served(term::Market& m, TF tf, std::int64_t now, const term::BarPlan& plan) {
    std::vector<wire::BarRecord> out(plan.total());
    if (plan.count > 0) std::memcpy(out.data(), plan.series->bars.data() + plan.from, plan.count * sizeof out[0]);
    term::BarCursor tail(m, eurusd(m), tf, now, plan.tail);
    CHECK(tail.fill(out.data() + plan.count, out.size() - plan.count) == plan.tail.count);
    return out;
}

// The same bars built from the ticks alone, by a market that keeps no bars.
std::vector<wire::BarRecord> built(term::Market& fresh, TF tf, std::int64_t now, term::BarSelection sel) {
    std::vector<wire::BarRecord> out(sel.count);
    term::BarCursor cursor(fresh, eurusd(fresh), tf, now, sel);
    CHECK(cursor.fill(out.data(), out.size()) == sel.count);
    return out;
}

bool same(const std::vector<wire::BarRecord>& a, const std::vector<wire::BarRecord>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0;
}

void test_a_long_lookback_reads_its_days_once() {
    // A long H1 lookback on a stepped clock, as a backtest asks for it at
    // every step: its days of ticks are read by the first request only,
    // also when the hour books may keep nothing (they are then made again
    // from the kept hours of the days). Each day the clock passes costs
    // that one day. No minute bars are made for it.
    struct Case {
        term::BarBooks::Budgets budgets;
        std::size_t hours_held;  // bytes: 420 days of H1 … MN1 bars, with room for more days
    };
    const term::BarBooks::Budgets room{64u << 20, 16u << 20};
    for (const Case& c : {Case{room, 1175100}, Case{{0, 0}, 0}}) {
        term::Market m = make_market(c.budgets);
        const term::PriceSource& s = eurusd(m);
        const term::BarPlan first = term::plan_from_pos(m, s, TF::H1, kNow, 0, 5000);
        // Today's twelve hours come from the ticks, with the reply.
        CHECK(first.count == 4988 && first.tail.count == 12);
        CHECK(m.days_read() == 419);  // a guess of 209 days, doubled
        const term::BarPlan later = term::plan_from_pos(m, s, TF::H1, kNow + kHourMs, 0, 5000);
        CHECK(later.count == 4987 && later.tail.count == 13);
        CHECK(m.days_read() == 419);
        // Saturday: Friday joins the books; forex has no bar on Saturday.
        const term::BarPlan next_day = term::plan_from_pos(m, s, TF::H1, kNow + kMsPerDay, 0, 5000);
        CHECK(next_day.count == 5000 && next_day.tail.count == 0);
        CHECK(m.days_read() == 420);
        CHECK(m.bar_books().held().hours == c.hours_held && m.bar_books().held().minutes == 0);
        if (c.budgets.hours != 0) {
            // The new day was appended behind the bars requests read.
            CHECK(next_day.series->bars.data() == first.series->bars.data());
        }
    }
}

void test_long_requests_agree_with_the_ticks() {
    // Long requests of both kinds of book, twice (made, then kept without
    // reading a day again), and again with the clock days later: the bytes
    // a market that keeps no bars builds from the ticks.
    struct Case {
        TF tf;
        std::uint64_t count;
    };
    const Case cases[] = {{TF::M1, 3000}, {TF::M15, 3000}, {TF::H1, 3000}, {TF::H4, 600},
                          {TF::D1, 200},  {TF::W1, 100},   {TF::MN1, 100}};
    term::Market m = make_market({64u << 20, 16u << 20});
    term::Market fresh = make_market({0, 0});
    const term::PriceSource& s = eurusd(m);
    for (const std::int64_t now : {kNow, kNow + 3 * kMsPerDay + 5 * kHourMs + 17}) {
        for (const Case& c : cases) {
            const auto expected = built(fresh, c.tf, now, term::select_from_pos(s, c.tf, now, 3, c.count));
            std::uint64_t read = 0;
            for (int round = 0; round < 2; ++round) {
                const term::BarPlan plan = term::plan_from_pos(m, s, c.tf, now, 3, c.count);
                CHECK(plan.count > 0 && same(served(m, c.tf, now, plan), expected));
                CHECK(round == 0 || m.days_read() == read);  // kept: no day read again
                read = m.days_read();
            }
        }
        // A range from the history's start, served from the hour book.
        const std::int64_t now_s = now / 1000;
        const auto limit = std::uint64_t{1} << 30;
        const term::BarPlan plan = term::plan_range(m, s, TF::D1, now, 0, now_s, limit);
        CHECK(plan.series != nullptr && plan.series->from_start);
        CHECK(same(served(m, TF::D1, now, plan), built(fresh, TF::D1, now, term::select_range(s, TF::D1, now, 0, now_s, limit))));
    }
}

}  // namespace

int main() {
    test_a_long_lookback_reads_its_days_once();
    test_long_requests_agree_with_the_ticks();
    return qvn::test::finish("terminal bar books");
}
