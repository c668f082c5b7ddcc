#include "terminal/market/quotes.hpp"

#include <algorithm>
#include <vector>

#include "terminal/enums.hpp"
#include "terminal/market/ticks.hpp"

namespace qvn::terminal {
namespace {

constexpr std::size_t kChunk = 4096;

// Feeds every tick of [lo, hi] to `f`, oldest first; false as soon as `f`
// returns false.
template <class F>
bool for_each_tick(Market& market, const SymbolModel& s, std::int64_t lo, std::int64_t hi, F&& f) {
    TickCursor cursor(market, s, TickSpan{lo, hi}, TickFilter{});
    std::vector<wire::TickRecord> chunk(kChunk);
    for (;;) {
        const std::size_t n = cursor.fill(chunk.data(), chunk.size());
        for (std::size_t i = 0; i < n; ++i)
            if (!f(chunk[i])) return false;
        if (n < chunk.size()) return true;
    }
}

}  // namespace

std::optional<wire::TickRecord> latest_tick(Market& market, const SymbolModel& s, std::int64_t at_ms) {
    const std::int64_t today = floor_div(at_ms, kMsPerDay);
    for (std::int64_t d = today; d >= today - kLookbackDays && d >= kProcessFirstDay; --d) {
        if (!s.open_day(d)) continue;
        const auto plan = market.plan(s, d);
        int m = plan->last_open;
        if (d == today) m = std::min<int>(m, static_cast<int>(floor_div(at_ms - d * kMsPerDay, kMsPerMinute)));
        for (; m >= 0 && m >= plan->first_open; --m) {
            if (plan->minutes[static_cast<std::size_t>(m)].ticks == 0) continue;
            // The minute's ticks through the cursor, so flags and the carried
            // last price are exactly those of tick history.
            const std::int64_t lo = d * kMsPerDay + m * kMsPerMinute;
            std::optional<wire::TickRecord> found;
            for_each_tick(market, s, lo, std::min(at_ms, lo + kMsPerMinute - 1), [&found](const wire::TickRecord& t) {
                found = t;
                return true;
            });
            if (found) return found;
        }
    }
    return std::nullopt;
}

void DaySummary::add(const wire::TickRecord& t) noexcept {
    // The record is packed: take its prices by value, since std::max and
    // std::min bind references.
    const double bid = t.bid, ask = t.ask, last = t.last;
    const std::uint64_t size = t.volume;
    const double size_real = t.volume_real;
    if (!quoted) {
        quoted = true;
        open = t.bid;
        bid_high = bid_low = t.bid;
        ask_high = ask_low = t.ask;
    }
    latest = t;
    bid_high = std::max(bid_high, bid);
    bid_low = std::min(bid_low, bid);
    ask_high = std::max(ask_high, ask);
    ask_low = std::min(ask_low, ask);
    if (t.volume == 0) return;  // a quote
    const bool first_deal = deals == 0;
    ++deals;
    if ((t.flags & kTickBuy) != 0) {
        ++buys;
        buy_volume_real += t.volume_real;
    } else {
        ++sells;
        sell_volume_real += t.volume_real;
    }
    last_high = first_deal ? t.last : std::max(last_high, last);
    last_low = first_deal ? t.last : std::min(last_low, last);
    last_volume = t.volume;
    last_volume_real = t.volume_real;
    volume_high = first_deal ? t.volume : std::max(volume_high, size);
    volume_low = first_deal ? t.volume : std::min(volume_low, size);
    volume_high_real = first_deal ? t.volume_real : std::max(volume_high_real, size_real);
    volume_low_real = first_deal ? t.volume_real : std::min(volume_low_real, size_real);
    volume_real += t.volume_real;
    turnover += t.last * t.volume_real;
}

DaySummary QuoteBoard::compute(const SymbolModel& s, std::int64_t now_ms) {
    DaySummary sum;
    sum.upto_ms = now_ms;
    const auto latest = latest_tick(market_, s, now_ms);
    if (!latest) return sum;
    sum.day = floor_div(latest->time_msc, kMsPerDay);
    const std::int64_t day_ms = sum.day * kMsPerDay;
    if (const auto before = latest_tick(market_, s, day_ms - 1)) sum.previous_close = before->bid;
    for_each_tick(market_, s, day_ms, now_ms, [&sum](const wire::TickRecord& t) {
        sum.add(t);
        return true;
    });
    return sum;
}

bool QuoteBoard::extend(const SymbolModel& s, DaySummary& sum, std::int64_t now_ms) {
    if (!sum.quoted) return false;
    const std::int64_t day_end = (sum.day + 1) * kMsPerDay;
    if (now_ms >= day_end) {
        // Past the day's end: still the same summary while the market stays
        // closed (nights, weekends).
        const auto latest = latest_tick(market_, s, now_ms);
        if (!latest || latest->time_msc > sum.upto_ms) return false;
        sum.upto_ms = now_ms;
        return true;
    }
    for_each_tick(market_, s, sum.upto_ms + 1, now_ms, [&sum](const wire::TickRecord& t) {
        sum.add(t);
        return true;
    });
    sum.upto_ms = now_ms;
    return true;
}

DaySummary QuoteBoard::summary(const SymbolModel& s, std::int64_t now_ms) {
    DaySummary sum;
    bool cached = false;
    {
        std::lock_guard lock(mutex_);
        const auto it = cache_.find(s.index());
        if (it != cache_.end() && it->second.upto_ms <= now_ms) {
            sum = it->second;
            cached = true;
        }
    }
    if (cached && sum.upto_ms == now_ms) return sum;
    // Work is done outside the lock: summaries are pure functions of the
    // process and the clock, so two threads racing only repeat work.
    if (!cached || !extend(s, sum, now_ms)) sum = compute(s, now_ms);
    std::lock_guard lock(mutex_);
    DaySummary& slot = cache_[s.index()];
    if (slot.upto_ms <= sum.upto_ms) slot = sum;
    return sum;
}

Rates rates_at(Market& market, QuoteBoard& board, std::int64_t at_ms, bool now) {
    std::vector<PairQuote> pairs;
    for (const SymbolModel& m : market.symbols()) {
        const Instrument& ins = m.instrument();
        if (ins.currency_base == ins.currency_profit) continue;  // an index quotes no exchange rate
        if (now) {
            const DaySummary q = board.summary(m, at_ms);
            if (q.quoted) pairs.push_back({ins.currency_base, ins.currency_profit, q.latest.bid, q.latest.ask});
        } else if (const auto t = latest_tick(market, m, at_ms)) {
            pairs.push_back({ins.currency_base, ins.currency_profit, t->bid, t->ask});
        }
    }
    return Rates(std::move(pairs));
}

}  // namespace qvn::terminal
