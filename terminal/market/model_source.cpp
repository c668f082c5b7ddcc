#include "terminal/market/model_source.hpp"

#include <algorithm>

namespace qvn::terminal {
namespace {

constexpr std::size_t kPlanCacheEntries = 512;
constexpr std::size_t kProcessDays = static_cast<std::size_t>(kProcessEndDay - kProcessFirstDay);

std::uint64_t pack_counts(DayCounts c) noexcept {
    return (1ull << 63) | (static_cast<std::uint64_t>(c.quotes) << 32) | c.deals;
}

SourceLabel label_of(const Instrument& ins) {
    const auto widen = [](std::string_view text) { return std::u16string(text.begin(), text.end()); };
    return {widen(ins.name), widen(ins.path), widen(ins.description), false};
}

// A minute's raw ticks up to `upto_ms` as an aggregate: extremes and the
// narrowest spread are found in price ticks and written once.
Aggregate aggregate(const ModelSource& s, const RawTick* ticks, int n, std::int64_t upto_ms) {
    Aggregate a;
    std::int64_t open = 0, high = 0, low = 0, close = 0, spread = 0;
    for (int j = 0; j < n && ticks[j].time_msc <= upto_ms; ++j) {
        const RawTick& t = ticks[j];
        if (a.ticks == 0) {
            open = high = low = t.bid;
            spread = t.ask - t.bid;
        }
        high = std::max(high, t.bid);
        low = std::min(low, t.bid);
        close = t.bid;
        spread = std::min(spread, t.ask - t.bid);
        if (t.kind != TickKind::Quote) a.volume += deal_units(t.volume);
        ++a.ticks;
    }
    if (a.ticks == 0) return a;
    a.open = s.price(open);
    a.high = s.price(high);
    a.low = s.price(low);
    a.close = s.price(close);
    a.spread = s.spread_points(spread);
    return a;
}

}  // namespace

std::shared_ptr<const DayPlan> PlanCache::get(const SymbolModel& model, std::int64_t day) {
    const Key key{&model, day};
    {
        std::lock_guard lock(mutex_);
        // The day asked for last: asked again by every part of a step.
        if (!lru_.empty() && lru_.front().first == key) return lru_.front().second;
        auto it = index_.find(key);
        if (it != index_.end()) {
            lru_.splice(lru_.begin(), lru_, it->second);
            return it->second->second;
        }
    }
    auto made = std::make_shared<const DayPlan>(model.make_plan(day));
    std::lock_guard lock(mutex_);
    auto it = index_.find(key);
    if (it != index_.end()) return it->second->second;
    lru_.emplace_front(key, made);
    index_[key] = lru_.begin();
    if (lru_.size() > kPlanCacheEntries) {
        index_.erase(lru_.back().first);
        lru_.pop_back();
    }
    return made;
}

ModelSource::ModelSource(const Instrument& ins, PlanCache& plans, std::int64_t first_day)
    : PriceSource(ins, label_of(ins), first_day, kProcessEndDay),
      model_(ins),
      plans_(plans),
      counts_(std::make_unique<std::atomic<std::uint64_t>[]>(kProcessDays)) {
    for (std::size_t i = 0; i < kProcessDays; ++i) counts_[i].store(0, std::memory_order_relaxed);
}

int ModelSource::minute_ticks(const DayPlan& plan, int m, RawTick* out) const {
    const std::int64_t minute = plan.day * kMinutesPerDay + m;
    {
        std::lock_guard lock(memo_mutex_);
        for (const MinuteMemo& e : memo_) {
            if (e.minute != minute) continue;
            std::copy_n(e.ticks.get(), e.count, out);
            return e.count;
        }
    }
    const int n = model_.minute_ticks(plan, m, out);
    std::lock_guard lock(memo_mutex_);
    MinuteMemo& e = memo_[memo_next_];
    memo_next_ = (memo_next_ + 1) % kMemoMinutes;
    const auto size = static_cast<std::size_t>(n);
    if (size > e.room) {
        e.room = std::max<std::size_t>(size, 64);
        e.ticks = std::make_unique_for_overwrite<RawTick[]>(e.room);
    }
    std::copy_n(out, n, e.ticks.get());
    e.count = n;
    e.minute = minute;
    return n;
}

DayCounts ModelSource::day_counts(std::int64_t day) const {
    if (!model_.open_day(day)) return {};
    auto& slot = counts_[static_cast<std::size_t>(day - kProcessFirstDay)];
    const std::uint64_t packed = slot.load(std::memory_order_relaxed);
    if (packed != 0)
        return {static_cast<std::uint32_t>((packed >> 32) & 0x7FFFFFFF), static_cast<std::uint32_t>(packed)};
    const auto p = plan(day);
    const DayCounts c{p->quotes, p->deals};
    slot.store(pack_counts(c), std::memory_order_relaxed);
    return c;
}

bool ModelSource::open_at(std::int64_t ms) const noexcept { return model_.open_minute(floor_div(ms, kMsPerMinute)); }

// Every open minute holds ticks, the first of them its earliest, so only a
// minute cut by the span needs its ticks made.
bool ModelSource::any_in(std::int64_t lo_ms, std::int64_t hi_ms) const {
    lo_ms = std::max(lo_ms, kProcessFirstDay * kMsPerDay);
    hi_ms = std::min(hi_ms, kProcessEndMs - 1);
    if (lo_ms > hi_ms) return false;
    const std::int64_t lo_minute = floor_div(lo_ms, kMsPerMinute);
    const std::int64_t hi_minute = floor_div(hi_ms, kMsPerMinute);
    std::unique_ptr<RawTick[]> ticks;
    for (std::int64_t m = lo_minute; m <= hi_minute;) {
        const std::int64_t day = floor_div(m, kMinutesPerDay);
        const std::int64_t day0 = day * kMinutesPerDay;
        if (model_.open_day(day)) {
            const int a = std::max(static_cast<int>(m - day0), model_.first_open_minute(day));
            const int b = std::min(static_cast<int>(std::min(hi_minute, day0 + kMinutesPerDay - 1) - day0),
                                   model_.last_open_minute(day));
            for (int x = a; x <= b; ++x) {
                if (model_.intensity(day, x) <= 0) continue;
                const std::int64_t start = (day0 + x) * kMsPerMinute;
                if (start >= lo_ms && start + kMsPerMinute - 1 <= hi_ms) return true;
                const auto p = plan(day);
                if (start >= lo_ms) {
                    if (model_.first_tick_time(day0 + x, p->minutes[x]) <= hi_ms) return true;
                    continue;
                }
                if (!ticks) ticks = std::make_unique_for_overwrite<RawTick[]>(kMaxTicksPerMinute);
                const int n = minute_ticks(*p, x, ticks.get());
                for (int j = 0; j < n; ++j)
                    if (ticks[j].time_msc >= lo_ms && ticks[j].time_msc <= hi_ms) return true;
            }
        }
        m = day0 + kMinutesPerDay;
    }
    return false;
}

std::optional<std::int64_t> ModelSource::next_after(std::int64_t ms) const {
    const std::int64_t t = std::max(ms + 1, kProcessFirstDay * kMsPerDay);
    if (t >= kProcessEndMs) return std::nullopt;
    const std::int64_t first_minute = floor_div(t, kMsPerMinute);
    std::unique_ptr<RawTick[]> ticks;
    for (std::int64_t day = floor_div(first_minute, kMinutesPerDay); day < kProcessEndDay; ++day) {
        if (!model_.open_day(day)) continue;
        const auto p = plan(day);
        const std::int64_t day0 = day * kMinutesPerDay;
        for (int m = std::max<int>(p->first_open, static_cast<int>(std::max<std::int64_t>(first_minute - day0, 0)));
             m >= 0 && m <= p->last_open; ++m) {
            const MinutePlan& mp = p->minutes[m];
            if (mp.ticks == 0) continue;
            if ((day0 + m) * kMsPerMinute >= t) return model_.first_tick_time(day0 + m, mp);
            // The minute that holds t.
            if (!ticks) ticks = std::make_unique_for_overwrite<RawTick[]>(kMaxTicksPerMinute);
            const int n = minute_ticks(*p, m, ticks.get());
            for (int j = 0; j < n; ++j)
                if (ticks[j].time_msc >= t) return ticks[j].time_msc;
        }
    }
    return std::nullopt;
}

void ModelSource::day_minutes(std::int64_t day, MinuteBlock& out) const {
    out.fill(Aggregate{});
    if (!model_.open_day(day)) return;
    const auto p = plan(day);
    auto ticks = std::make_unique_for_overwrite<RawTick[]>(kMaxTicksPerMinute);
    for (int m = p->first_open; m >= 0 && m <= p->last_open; ++m) {
        if (p->minutes[m].ticks == 0) continue;
        const int n = model_.minute_ticks(*p, m, ticks.get());
        out[static_cast<std::size_t>(m)] = aggregate(*this, ticks.get(), n, kProcessEndMs);
    }
}

Aggregate ModelSource::minute_upto(std::int64_t minute, std::int64_t upto_ms) const {
    const std::int64_t day = floor_div(minute, kMinutesPerDay);
    if (!model_.open_day(day) || minute * kMsPerMinute > upto_ms) return {};
    const auto p = plan(day);
    const int m = static_cast<int>(minute - day * kMinutesPerDay);
    if (p->minutes[m].ticks == 0) return {};
    MinuteRoom room;
    RawTick* ticks = room.get(p->minutes[m].ticks);
    const int n = minute_ticks(*p, m, ticks);
    return aggregate(*this, ticks, n, upto_ms);
}

void ModelSource::bound_quotes(TickSpan span, const QuoteBoundsVisitor& visit) const {
    if (span.empty()) return;
    const std::int64_t first_minute = floor_div(span.lo_ms, kMsPerMinute);
    const std::int64_t last_minute = floor_div(span.hi_ms, kMsPerMinute);
    for (std::int64_t day = floor_div(first_minute, kMinutesPerDay); day * kMinutesPerDay <= last_minute; ++day) {
        if (!model_.open_day(day)) continue;
        const auto p = plan(day);
        const std::int64_t day0 = day * kMinutesPerDay;
        const int from = static_cast<int>(std::max<std::int64_t>(p->first_open, first_minute - day0));
        const int to = static_cast<int>(std::min<std::int64_t>(p->last_open, last_minute - day0));
        for (int m = from; m >= 0 && m <= to; ++m) {
            const MinutePlan& mp = p->minutes[static_cast<std::size_t>(m)];
            if (mp.ticks == 0) continue;
            const QuoteRange r = model_.quote_range(mp);
            const std::int64_t lo = (day0 + m) * kMsPerMinute;
            const QuoteBounds b{TickSpan{std::max(lo, span.lo_ms), std::min(lo + kMsPerMinute - 1, span.hi_ms)},
                                price(r.bid_lo), price(r.bid_hi), price(r.bid_lo + r.spread_lo),
                                price(r.bid_hi + r.spread_hi)};
            if (!visit(b)) return;
        }
    }
}

}  // namespace qvn::terminal
