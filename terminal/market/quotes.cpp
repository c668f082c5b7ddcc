#include "terminal/market/quotes.hpp"

#include <algorithm>
#include <functional>
#include <string_view>
#include <vector>

#include "terminal/enums.hpp"

namespace qvn::terminal {
namespace {

constexpr std::size_t kChunk = 256;

// Feeds every tick of [lo, hi] to `f`, oldest first.
template <class F>
void for_each_tick(const PriceSource& s, std::int64_t lo, std::int64_t hi, F&& f) {
    const auto reader = s.read(TickSpan{lo, hi}, TickFilter{});
    wire::TickRecord chunk[kChunk];
    for (;;) {
        const std::size_t n = reader->fill(chunk, kChunk);
        for (std::size_t i = 0; i < n; ++i) f(chunk[i]);
        if (n < kChunk) return;
    }
}

}  // namespace

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
    if ((t.flags & (kTickVolume | kTickLast)) == 0) return;  // a quote
    const bool first_deal = deals == 0;
    ++deals;
    // Imported deals may carry no side.
    if ((t.flags & kTickBuy) != 0) {
        ++buys;
        buy_volume_real += t.volume_real;
    } else if ((t.flags & kTickSell) != 0) {
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

DaySummary QuoteBoard::compute(const PriceSource& s, std::int64_t now_ms) {
    DaySummary sum;
    sum.upto_ms = now_ms;
    const auto latest = s.latest(now_ms);
    if (!latest) return sum;
    sum.day = floor_div(latest->time_msc, kMsPerDay);
    const std::int64_t day_ms = sum.day * kMsPerDay;
    if (const auto before = s.latest(day_ms - 1)) sum.previous_close = before->bid;
    for_each_tick(s, day_ms, now_ms, [&sum](const wire::TickRecord& t) { sum.add(t); });
    return sum;
}

bool QuoteBoard::extend(const PriceSource& s, DaySummary& sum, std::int64_t now_ms) {
    if (!sum.quoted) return false;
    const std::int64_t day_end = (sum.day + 1) * kMsPerDay;
    if (now_ms >= day_end) {
        // Past the day's end: still the same summary while the market stays
        // closed (nights, weekends).
        const auto latest = s.latest(now_ms);
        if (!latest || latest->time_msc > sum.upto_ms) return false;
        sum.upto_ms = now_ms;
        return true;
    }
    for_each_tick(s, sum.upto_ms + 1, now_ms, [&sum](const wire::TickRecord& t) { sum.add(t); });
    sum.upto_ms = now_ms;
    return true;
}

DaySummary QuoteBoard::summary(const PriceSource& s, std::int64_t now_ms) {
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

std::optional<wire::TickRecord> QuoteBoard::latest(const PriceSource& s, std::int64_t now_ms) {
    {
        std::lock_guard lock(mutex_);
        const auto sum = cache_.find(s.index());
        if (sum != cache_.end() && sum->second.upto_ms == now_ms) {
            if (!sum->second.quoted) return std::nullopt;
            return sum->second.latest;
        }
        const auto found = latest_.find(s.index());
        if (found != latest_.end() && found->second.first == now_ms) return found->second.second;
    }
    const auto tick = s.latest(now_ms);
    std::lock_guard lock(mutex_);
    auto& slot = latest_[s.index()];
    if (slot.first <= now_ms) slot = {now_ms, tick};
    return tick;
}

namespace {

Rates pairs_at(Market& market, QuoteBoard& board, std::int64_t at_ms, bool now,
               const std::function<bool(const Instrument&)>& wanted) {
    std::vector<PairQuote> pairs;
    for (const auto& source : market.sources()) {
        const PriceSource& m = *source;
        const Instrument& ins = m.instrument();
        if (ins.currency_base == ins.currency_profit) continue;  // an index quotes no exchange rate
        if (!wanted(ins)) continue;
        if (const auto t = now ? board.latest(m, at_ms) : m.latest(at_ms)) {
            pairs.push_back({ins.currency_base, ins.currency_profit, t->bid, t->ask});
        }
    }
    return Rates(std::move(pairs));
}

}  // namespace

Rates rates_at(Market& market, QuoteBoard& board, std::int64_t at_ms, bool now) {
    return pairs_at(market, board, at_ms, now, [](const Instrument&) { return true; });
}

Rates rates_at(Market& market, QuoteBoard& board, std::int64_t at_ms, bool now, std::string_view from,
               std::string_view to) {
    const auto involved = [&](std::string_view c) { return c == from || c == to || c == "USD"; };
    return pairs_at(market, board, at_ms, now, [&](const Instrument& ins) {
        return involved(ins.currency_base) && involved(ins.currency_profit);
    });
}

}  // namespace qvn::terminal
