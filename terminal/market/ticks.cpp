#include "terminal/market/ticks.hpp"

#include <algorithm>

#include "terminal/enums.hpp"

namespace qvn::terminal {
namespace {

std::uint64_t selected(DayCounts c, TickFilter f) noexcept {
    return (f.quotes ? c.quotes : 0u) + (f.deals ? c.deals : 0u);
}

bool wanted(TickKind kind, TickFilter f) noexcept { return kind == TickKind::Quote ? f.quotes : f.deals; }

}  // namespace

std::optional<TickFilter> tick_filter(std::int32_t copy_flags) noexcept {
    switch (static_cast<CopyTicks>(copy_flags)) {
        case CopyTicks::Info: return TickFilter{true, false};
        case CopyTicks::Trade: return TickFilter{false, true};
        case CopyTicks::All: return TickFilter{true, true};
    }
    return std::nullopt;
}

TickSpan visible_span(const Market& market, std::int64_t lo_ms, std::int64_t hi_ms) noexcept {
    TickSpan span;
    span.lo_ms = std::max(lo_ms, market.history_first_ms());
    span.hi_ms = std::min({hi_ms, market.now_ms(), Market::process_end_ms() - 1});
    return span;
}

std::uint64_t count_ticks(Market& market, const SymbolModel& s, TickSpan span, TickFilter filter,
                          std::uint64_t limit) {
    if (span.empty()) return 0;
    std::uint64_t total = 0;
    const std::int64_t first_day = floor_div(span.lo_ms, kMsPerDay);
    const std::int64_t last_day = floor_div(span.hi_ms, kMsPerDay);
    auto ticks = std::make_unique<RawTick[]>(kMaxTicksPerMinute);
    for (std::int64_t day = first_day; day <= last_day && total <= limit; ++day) {
        if (!s.open_day(day)) continue;
        const std::int64_t day_lo = day * kMsPerDay;
        if (span.lo_ms <= day_lo && day_lo + kMsPerDay - 1 <= span.hi_ms) {
            total += selected(market.day_counts(s, day), filter);
            continue;
        }
        // A day cut by the span: whole minutes from the plan, the (at most
        // two) cut minutes tick by tick.
        const auto plan = market.plan(s, day);
        for (int m = plan->first_open; m >= 0 && m <= plan->last_open; ++m) {
            const MinutePlan& mp = plan->minutes[m];
            if (mp.ticks == 0) continue;
            const std::int64_t lo = day_lo + m * kMsPerMinute;
            const std::int64_t hi = lo + kMsPerMinute - 1;
            if (hi < span.lo_ms || lo > span.hi_ms) continue;
            if (span.lo_ms <= lo && hi <= span.hi_ms) {
                total += selected(DayCounts{mp.quotes, static_cast<std::uint32_t>(mp.ticks - mp.quotes)}, filter);
                continue;
            }
            const int n = s.minute_ticks(*plan, m, ticks.get());
            for (int j = 0; j < n; ++j) {
                const RawTick& t = ticks[j];
                if (t.time_msc >= span.lo_ms && t.time_msc <= span.hi_ms && wanted(t.kind, filter)) ++total;
            }
        }
    }
    return total;
}

TickCursor::TickCursor(Market& market, const SymbolModel& s, TickSpan span, TickFilter filter)
    : market_(market), s_(s), span_(span), filter_(filter), ticks_(std::make_unique<RawTick[]>(kMaxTicksPerMinute)) {
    if (span_.empty()) {
        done_ = true;
        return;
    }
    const std::int64_t minute = floor_div(span_.lo_ms, kMsPerMinute);
    day_ = floor_div(minute, kMinutesPerDay);
    minute_ = static_cast<int>(minute - day_ * kMinutesPerDay) - 1;
    init_context(minute);
}

// The state the stream carries into `minute`: the quote of the tick just
// before it and the price of the latest deal, found by looking back over
// open minutes.
void TickCursor::init_context(std::int64_t minute) {
    const std::int64_t day = floor_div(minute, kMinutesPerDay);
    const int first = static_cast<int>(minute - day * kMinutesPerDay);
    bool need_quote = true;
    bool need_deal = s_.instrument().has_deals();
    for (std::int64_t d = day; d >= day - kLookbackDays && d >= kProcessFirstDay && (need_quote || need_deal); --d) {
        if (!s_.open_day(d)) continue;
        if (d != day && need_deal && !need_quote && market_.day_counts(s_, d).deals == 0) continue;
        const auto plan = market_.plan(s_, d);
        for (int m = (d == day ? first : kMinutesPerDay) - 1; m >= plan->first_open && m >= 0; --m) {
            const MinutePlan& mp = plan->minutes[m];
            if (mp.ticks == 0) continue;
            if (!need_quote && mp.ticks == mp.quotes) continue;
            const int n = s_.minute_ticks(*plan, m, ticks_.get());
            if (need_quote) {
                bid_ = ticks_[n - 1].bid;
                ask_ = ticks_[n - 1].ask;
                need_quote = false;
            }
            for (int j = n - 1; need_deal && j >= 0; --j) {
                if (ticks_[j].kind == TickKind::Quote) continue;
                last_ = ticks_[j].kind == TickKind::Buy ? ticks_[j].ask : ticks_[j].bid;
                last_price_ = s_.price(last_);
                need_deal = false;
            }
            if (!need_quote && !need_deal) return;
        }
    }
}

bool TickCursor::load_next_minute() {
    const std::int64_t last_minute = floor_div(span_.hi_ms, kMsPerMinute);
    for (;;) {
        ++minute_;
        if (minute_ >= kMinutesPerDay) {
            ++day_;
            minute_ = 0;
            plan_.reset();
        }
        const std::int64_t minute = day_ * kMinutesPerDay + minute_;
        if (minute > last_minute) return false;
        if (!s_.open_day(day_)) {
            minute_ = kMinutesPerDay - 1;  // skip the whole day
            continue;
        }
        if (!plan_) plan_ = market_.plan(s_, day_);
        if (minute_ > plan_->last_open) {
            minute_ = kMinutesPerDay - 1;
            continue;
        }
        if (plan_->minutes[minute_].ticks == 0) continue;
        count_ = s_.minute_ticks(*plan_, minute_, ticks_.get());
        pos_ = 0;
        return true;
    }
}

std::size_t TickCursor::fill(wire::TickRecord* out, std::size_t max) {
    std::size_t written = 0;
    while (written < max && !done_) {
        if (pos_ >= count_ && !load_next_minute()) {
            done_ = true;
            break;
        }
        for (; pos_ < count_ && written < max; ++pos_) {
            const RawTick& t = ticks_[pos_];
            if (t.time_msc > span_.hi_ms) {
                done_ = true;
                break;
            }
            std::uint32_t flags;
            double volume_real = 0;
            std::uint64_t volume = 0;
            if (t.kind == TickKind::Quote) {
                flags = (t.bid != bid_ ? kTickBid : 0u) | (t.ask != ask_ ? kTickAsk : 0u);
                bid_ = t.bid;
                ask_ = t.ask;
            } else {
                const std::int64_t price = t.kind == TickKind::Buy ? t.ask : t.bid;
                flags = kTickVolume | (price != last_ ? kTickLast : 0u) |
                        (t.kind == TickKind::Buy ? kTickBuy : kTickSell);
                if (price != last_) last_price_ = s_.price(price);
                last_ = price;
                volume_real = t.volume;
                volume = deal_units(t.volume);
            }
            if (t.time_msc < span_.lo_ms || !wanted(t.kind, filter_)) continue;
            wire::TickRecord& r = out[written++];
            r.time = t.time_msc / 1000;
            r.bid = s_.price(t.bid);
            r.ask = s_.price(t.ask);
            r.last = last_price_;
            r.volume = volume;
            r.time_msc = t.time_msc;
            r.flags = flags;
            r.volume_real = volume_real;
        }
    }
    return written;
}

}  // namespace qvn::terminal
