// Unit tests of the Terminal's market model, history cursors and response
// streaming, without a socket or a process.
#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "protocol/wire.hpp"
#include "terminal/market/bars.hpp"
#include "terminal/market/imported_source.hpp"
#include "terminal/wire/frame.hpp"
#include "terminal/market/market.hpp"
#include "terminal/market/ticks.hpp"

namespace {

namespace term = qvn::terminal;
namespace wire = qvn::wire;
using term::kMinutesPerDay;
using term::kMsPerDay;
using term::kMsPerMinute;

// 2024-03-15 12:00:00.250 UTC, a Friday.
constexpr std::int64_t kNow = 1710504000250;
constexpr std::int64_t kDay = kNow / kMsPerDay;

term::Market& market() {
    static term::Market m(term::days_from_civil(2020, 1, 1), term::MarketClock(std::optional<std::int64_t>(kNow)));
    return m;
}

const term::ModelSource& symbol(const char16_t* name) {
    const term::ModelSource* s = market().find(name);
    if (s == nullptr) std::abort();
    return *s;
}

const char16_t* const kSymbols[] = {u"EURUSD", u"USDJPY", u"XAUUSD", u"US500", u"JPN225", u"BTCUSD", u"XRPUSD"};

std::vector<wire::TickRecord> all_ticks(const term::PriceSource& s, std::int64_t lo, std::int64_t hi) {
    const auto reader = s.read(term::visible_span(market(), s, lo, hi), {});
    std::vector<wire::TickRecord> out;
    std::vector<wire::TickRecord> chunk(1000);  // small chunks cross minute and day edges
    for (;;) {
        const std::size_t n = reader->fill(chunk.data(), chunk.size());
        out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        if (n < chunk.size()) return out;
    }
}

void test_plans_chain() {
    // Each open minute starts where the previous one ended, across closed
    // minutes and closed days (a weekend, a month end, the start of the
    // process); a minute's ticks begin at its planned first instant and
    // walk its bid to the planned end.
    const std::int64_t starts[] = {kDay - 10, term::days_from_civil(2023, 12, 28), term::kProcessFirstDay};
    std::vector<term::RawTick> ticks(term::kMaxTicksPerMinute);
    for (const char16_t* name : kSymbols) {
        const term::SymbolModel& s = symbol(name).model();
        for (std::int64_t first : starts) {
            std::int64_t expected_start = -1;
            for (std::int64_t day = first; day < first + 12; ++day) {
                const term::DayPlan plan = s.make_plan(day);
                for (int m = 0; m < kMinutesPerDay; ++m) {
                    const term::MinutePlan& mp = plan.minutes[m];
                    if (mp.ticks == 0) continue;
                    if (expected_start >= 0) CHECK(mp.start_bid == expected_start);
                    expected_start = mp.start_bid + mp.delta;
                    if (first != starts[0] || day < kDay - 3 || day > kDay) continue;
                    const int n = s.minute_ticks(plan, m, ticks.data());
                    CHECK(n == mp.ticks && s.first_tick_time(day * kMinutesPerDay + m, mp) == ticks[0].time_msc);
                    CHECK(ticks[static_cast<std::size_t>(n - 1)].bid == mp.start_bid + mp.delta);
                }
            }
        }
    }
}

void test_determinism() {
    // A span inside a larger one gets exactly the larger one's ticks there,
    // flags and carried last price included, wherever it starts.
    for (const char16_t* name : kSymbols) {
        const term::PriceSource& s = symbol(name);
        const std::int64_t lo = kNow - 3 * kMsPerDay;
        const auto whole = all_ticks(s, lo, kNow);
        CHECK(!whole.empty());
        for (std::int64_t cut : {lo + 12345, lo + kMsPerDay + 7 * kMsPerMinute, kNow - 3600000}) {
            const auto part = all_ticks(s, cut, kNow);
            const std::size_t i = static_cast<std::size_t>(
                std::partition_point(whole.begin(), whole.end(), [cut](const auto& t) { return t.time_msc < cut; }) -
                whole.begin());
            CHECK(part.size() == whole.size() - i &&
                  (part.empty() || std::memcmp(part.data(), whole.data() + i, part.size() * sizeof part[0]) == 0));
        }
    }
}

class VectorSink final : public term::Sink {
public:
    bool write(std::span<const std::byte> bytes) override {
        ++writes;
        data.insert(data.end(), bytes.begin(), bytes.end());
        return !fail;
    }
    std::vector<std::byte> data;
    int writes = 0;
    bool fail = false;
};

std::uint32_t u32_at(const std::vector<std::byte>& d, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, d.data() + at, 4);
    return v;
}

// Records are streamed inline or pipelined; a fill that runs dry is padded
// to the promised count; a client that goes away stops the pipeline.
void test_streaming() {
    struct Case {
        std::uint64_t count;
        std::size_t fill_max;  // records a fill call makes at most
        bool client_gone;
        bool ok;
        int writes;  // -1: any
    };
    const Case cases[] = {{0, ~std::size_t{0}, false, true, -1},      {1, ~std::size_t{0}, false, true, -1},
                          {69904, ~std::size_t{0}, false, true, -1},  {200000, ~std::size_t{0}, false, true, -1},
                          {100000, 10, false, true, -1},             {1000000, ~std::size_t{0}, true, false, 1}};
    for (const Case& c : cases) {
        VectorSink sink;
        sink.fail = c.client_gone;
        term::Exchange ex(sink);
        std::uint64_t next = 0;
        const bool ok = ex.stream_records<wire::TickRecord>(106, c.count, [&](wire::TickRecord* out, std::size_t max) {
            const std::size_t n = std::min(max, c.fill_max);
            for (std::size_t i = 0; i < n; ++i) {
                wire::TickRecord r{};
                r.time_msc = static_cast<std::int64_t>(next++);
                std::memcpy(static_cast<void*>(out + i), &r, sizeof r);
            }
            return n;
        });
        CHECK(ok == c.ok && (c.writes < 0 || sink.writes == c.writes));
        if (!c.ok) continue;
        CHECK(sink.data.size() == 16 + 60 * c.count);
        CHECK(u32_at(sink.data, 0) == 12 + 60 * c.count);
        CHECK(u32_at(sink.data, 4) == 106 && u32_at(sink.data, 8) == 1 && u32_at(sink.data, 12) == c.count);
        bool ordered = true;  // the records made, in order, then zero records
        for (std::uint64_t i = 0; i < c.count; ++i) {
            std::int64_t t = 0;
            std::memcpy(&t, sink.data.data() + 16 + 60 * i + 40, 8);
            ordered = ordered && t == (i < next ? static_cast<std::int64_t>(i) : 0);
        }
        CHECK(ordered);
    }
}

// Bars served from a plan (its kept bars, then its tail built from the
// ticks) are the bytes of the same selection built from the ticks alone.
bool kept_agrees(term::Market& m, const term::PriceSource& s, term::Timeframe tf, std::int64_t now,
                 term::BarSelection sel, const term::BarPlan& plan) {
    VectorSink built, kept;
    term::BarCursor cursor(m, s, tf, now, sel), tail(m, s, tf, now, plan.tail);
    term::Exchange{built}.stream_records<wire::BarRecord>(
        107, sel.count, [&](wire::BarRecord* out, std::size_t max) { return cursor.fill(out, max); });
    std::span<const std::byte> slice;
    if (plan.count > 0) slice = std::as_bytes(std::span(plan.series->bars).subspan(plan.from, plan.count));
    term::Exchange{kept}.stream_slice(
        107, slice, plan.tail.count, sizeof(wire::BarRecord),
        [&](std::byte* out, std::size_t max) { return tail.fill(reinterpret_cast<wire::BarRecord*>(out), max); });
    return built.data == kept.data;
}

void test_kept_bars() {
    // Bars served from kept series equal those built from the ticks, while
    // the clock moves across days and requests reach further back.
    term::Market m(term::days_from_civil(2023, 6, 1), term::MarketClock(std::optional<std::int64_t>(kNow)));
    // Imported ticks too: ten days around the clock, one every 97 s.
    std::vector<wire::TickRecord> ticks;
    for (std::int64_t ms = kNow - 5 * kMsPerDay; ms < kNow + 5 * kMsPerDay; ms += 97000) {
        wire::TickRecord t{};
        t.time_msc = ms;
        t.time = ms / 1000;
        t.bid = static_cast<double>(110000 + (ms / 97000) % 41) / 1e5;
        t.ask = t.bid + 0.0001;
        t.flags = term::kTickBid | term::kTickAsk;
        ticks.push_back(t);
    }
    auto terms = std::make_unique<term::ImportedTerms>();
    terms->name = terms->description = "MYEUR";
    terms->terms = *term::find_symbol(u"EURUSD");
    terms->terms.name = terms->name;
    m.add_source(std::make_unique<term::ImportedSource>(std::move(terms), u"MYEUR", u"MYEUR", std::move(ticks)));
    using TF = term::Timeframe;
    const term::PriceSource* const sources[] = {m.sources().front().get(), m.sources().back().get()};
    for (const term::PriceSource* source : sources) {
        const term::PriceSource& s = *source;
        for (const std::int64_t now : {kNow, kNow + 3 * 60000 + 17, kNow + kMsPerDay + 59999, kNow + 4 * kMsPerDay}) {
            for (const TF tf : {TF::M1, TF::M5, TF::H1, TF::H4, TF::D1, TF::W1, TF::MN1}) {
                const std::int64_t now_s = now / 1000;
                const std::int64_t from_s = now_s - (tf == TF::M1 ? 9 : 60) * 86400 - 7;
                const auto limit = std::uint64_t{1} << 30;
                CHECK(kept_agrees(m, s, tf, now, term::select_range(s, tf, now, from_s, now_s, limit),
                                  term::plan_range(m, s, tf, now, from_s, now_s, limit)));
                for (const std::uint64_t pos : {0, 3, 2000})
                    CHECK(kept_agrees(m, s, tf, now, term::select_from_pos(s, tf, now, pos, 300),
                                      term::plan_from_pos(m, s, tf, now, pos, 300)));
                CHECK(kept_agrees(m, s, tf, now, term::select_from(s, tf, now, now_s - 20 * 86400, 500),
                                  term::plan_from(m, s, tf, now, now_s - 20 * 86400, 500)));
            }
        }
    }
    const term::PriceSource& s = *m.sources()[0];
    // The whole history, oldest bars first.
    const std::int64_t now = kNow + 4 * kMsPerDay;
    for (const TF tf : {TF::M1, TF::W1, TF::MN1}) {
        const term::BarPlan plan = term::plan_from_pos(m, s, tf, now, 0, 100000000);
        CHECK(plan.series != nullptr && plan.series->from_start);
        CHECK(kept_agrees(m, s, tf, now, term::select_from_pos(s, tf, now, 0, 100000000), plan));
    }
}

void test_hours_in_progress() {
    // The hours of the clock's day, read as the clock moves on, back, and
    // stays (a read adds only the minutes over since an earlier one), are
    // the sums of the day's minutes as a fresh read sees them.
    term::Market m(term::days_from_civil(2024, 1, 1), term::MarketClock(std::optional<std::int64_t>(kNow)));
    const std::int64_t day_ms = kDay * kMsPerDay;
    const std::int64_t clocks[] = {day_ms,        kNow,          kNow + 7 * kMsPerMinute + 3, kNow + 7 * kMsPerMinute + 9,
                                   kNow + 7 * kMsPerMinute + 9, kNow - 3600000,  day_ms + kMsPerMinute - 1,
                                   kNow + 2 * kMsPerMinute - 250, day_ms + kMsPerDay - 1, kNow + kMsPerDay};
    for (const char16_t* name : {u"EURUSD", u"BTCUSD"}) {
        const term::PriceSource& s = *m.find(name);
        int traded = 0;  // reads with ticks at noon
        for (const std::int64_t upto : clocks) {
            const std::int64_t day = upto / kMsPerDay;
            const term::HourBlock got = m.hours(s, day, upto);
            const term::DayMinutes minutes(m, s, day, upto);
            term::HourBlock want{};
            for (std::size_t i = 0; i < kMinutesPerDay; ++i) want[i / 60].add(minutes[i]);
            bool same = true;
            for (std::size_t h = 0; h < 24; ++h)
                same = same && got[h].ticks == want[h].ticks && got[h].open == want[h].open &&
                       got[h].high == want[h].high && got[h].low == want[h].low && got[h].close == want[h].close &&
                       got[h].spread == want[h].spread && got[h].volume == want[h].volume;
            CHECK(same);
            traded += want[12].ticks != 0 ? 1 : 0;
        }
        CHECK(traded >= 5);
    }
}

}  // namespace

int main() {
    test_plans_chain();
    test_determinism();
    test_streaming();
    test_kept_bars();
    test_hours_in_progress();
    return qvn::test::finish("terminal market");
}
