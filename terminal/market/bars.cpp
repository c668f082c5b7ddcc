#include "terminal/market/bars.hpp"

#include <algorithm>

namespace qvn::terminal {
namespace {

constexpr std::int64_t minutes_of(Timeframe tf) noexcept { return static_cast<std::int64_t>(tf); }

constexpr std::int64_t day_of_minute(std::int64_t minute) noexcept { return floor_div(minute, kMinutesPerDay); }

}  // namespace

wire::BarRecord bar_record(std::int64_t start, const Aggregate& a) noexcept {
    wire::BarRecord r{};
    r.time = start * 60;
    r.open = a.open;
    r.high = a.high;
    r.low = a.low;
    r.close = a.close;
    r.tick_volume = a.ticks;
    r.spread = a.spread;
    r.real_volume = a.volume;
    return r;
}

bool valid_timeframe(std::int32_t value) noexcept {
    switch (static_cast<Timeframe>(value)) {
        case Timeframe::M1: case Timeframe::M2: case Timeframe::M3: case Timeframe::M4:
        case Timeframe::M5: case Timeframe::M6: case Timeframe::M10: case Timeframe::M12:
        case Timeframe::M15: case Timeframe::M20: case Timeframe::M30: case Timeframe::H1:
        case Timeframe::H2: case Timeframe::H3: case Timeframe::H4: case Timeframe::H6:
        case Timeframe::H8: case Timeframe::H12: case Timeframe::D1: case Timeframe::W1:
        case Timeframe::MN1:
            return true;
    }
    return false;
}

std::int64_t period_start(Timeframe tf, std::int64_t minute) noexcept {
    switch (tf) {
        case Timeframe::W1: return week_start(day_of_minute(minute)) * kMinutesPerDay;
        case Timeframe::MN1: return month_start(day_of_minute(minute)) * kMinutesPerDay;
        default: return floor_div(minute, minutes_of(tf)) * minutes_of(tf);
    }
}

std::int64_t period_next(Timeframe tf, std::int64_t start) noexcept {
    switch (tf) {
        case Timeframe::W1: return start + 7 * kMinutesPerDay;
        case Timeframe::MN1: return next_month_start(day_of_minute(start)) * kMinutesPerDay;
        default: return start + minutes_of(tf);
    }
}

std::int64_t period_prev(Timeframe tf, std::int64_t start) noexcept {
    switch (tf) {
        case Timeframe::W1: return start - 7 * kMinutesPerDay;
        case Timeframe::MN1: return month_start(day_of_minute(start) - 1) * kMinutesPerDay;
        default: return start - minutes_of(tf);
    }
}

bool period_has_ticks(const PriceSource& s, Timeframe tf, std::int64_t start, std::int64_t now_ms) {
    const std::int64_t lo = std::max(start * kMsPerMinute, s.first_ms());
    const std::int64_t hi = std::min({period_next(tf, start) * kMsPerMinute - 1, now_ms, kProcessEndMs - 1});
    return lo <= hi && s.any_in(lo, hi);
}

namespace {

// The periods a range request reads: the first opening at or after from_s
// (none before the period the history starts in) to the last opening at or
// before to_s and the clock; empty when first > last.
struct RangeBounds {
    std::int64_t first = 1;
    std::int64_t last = 0;
};

RangeBounds range_bounds(const PriceSource& s, Timeframe tf, std::int64_t now_ms, std::int64_t from_s,
                         std::int64_t to_s) {
    RangeBounds b;
    if (from_s > to_s) return b;
    // Bounds far outside the process only need to stay far outside it; the
    // margin keeps a month bar that opens before the process start.
    constexpr std::int64_t kMargin = 64 * kSecondsPerDay;
    from_s = std::clamp(from_s, kProcessFirstDay * kSecondsPerDay - kMargin, kProcessEndDay * kSecondsPerDay);
    to_s = std::clamp(to_s, kProcessFirstDay * kSecondsPerDay - kMargin, kProcessEndDay * kSecondsPerDay);
    const std::int64_t from_minute = floor_div(from_s + 59, 60);
    std::int64_t p = period_start(tf, from_minute);
    if (p < from_minute) p = period_next(tf, p);
    b.first = std::max(p, period_start(tf, s.first_ms() / kMsPerMinute));
    b.last = std::min(floor_div(to_s, 60), floor_div(now_ms, kMsPerMinute));
    return b;
}

// Counts the periods with ticks in [p, last], from `sel` on, until the
// count exceeds `limit`.
void count_forward(const PriceSource& s, Timeframe tf, std::int64_t now_ms, std::int64_t p, std::int64_t last,
                   std::uint64_t limit, BarSelection& sel) {
    for (; p <= last && sel.count <= limit; p = period_next(tf, p)) {
        if (!period_has_ticks(s, tf, p, now_ms)) continue;
        if (sel.count == 0) sel.first = p;
        ++sel.count;
    }
}

// The first period a series cannot answer for at `now_ms`: past what it
// holds, or still forming.
std::int64_t series_end(const BarSeries& series, Timeframe tf, std::int64_t now_ms) {
    return std::min(series.cover_hi, period_start(tf, floor_div(now_ms, kMsPerMinute)));
}

}  // namespace

BarSelection select_range(const PriceSource& s, Timeframe tf, std::int64_t now_ms,
                          std::int64_t from_s, std::int64_t to_s, std::uint64_t limit) {
    BarSelection sel;
    const RangeBounds b = range_bounds(s, tf, now_ms, from_s, to_s);
    count_forward(s, tf, now_ms, b.first, b.last, limit, sel);
    return sel;
}

BarPlan plan_range(Market& market, const PriceSource& s, Timeframe tf, std::int64_t now_ms, std::int64_t from_s,
                   std::int64_t to_s, std::uint64_t limit) {
    BarPlan plan;
    const RangeBounds b = range_bounds(s, tf, now_ms, from_s, to_s);
    if (b.first > b.last) return plan;
    plan.series = market.bar_books().series(s, tf, floor_div(b.first, kMinutesPerDay),
                                            floor_div(b.last, kMinutesPerDay) + 1, now_ms);
    if (!plan.series) {
        count_forward(s, tf, now_ms, b.first, b.last, limit, plan.tail);
        return plan;
    }
    const std::int64_t end = series_end(*plan.series, tf, now_ms);
    plan.from = plan.series->lower(b.first);
    const std::size_t to = plan.series->lower(std::min(b.last + 1, end));
    plan.count = to > plan.from ? to - plan.from : 0;
    if (plan.count <= limit) count_forward(s, tf, now_ms, std::max(b.first, end), b.last, limit - plan.count, plan.tail);
    return plan;
}

namespace {

// Walks back from the period holding `minute`, skipping `skip` bars and
// then selecting up to `count`.
BarSelection walk_back(const PriceSource& s, Timeframe tf, std::int64_t now_ms,
                       std::int64_t minute, std::uint64_t skip, std::uint64_t count) {
    BarSelection sel;
    if (count == 0) return sel;
    const std::int64_t history_minute = s.first_ms() / kMsPerMinute;
    for (std::int64_t p = period_start(tf, minute); period_next(tf, p) > history_minute; p = period_prev(tf, p)) {
        if (!period_has_ticks(s, tf, p, now_ms)) continue;
        if (skip > 0) {
            --skip;
            continue;
        }
        sel.first = p;
        if (++sel.count == count) break;
    }
    return sel;
}

}  // namespace

BarSelection select_from(const PriceSource& s, Timeframe tf, std::int64_t now_ms,
                         std::int64_t date_s, std::uint64_t count) {
    const std::int64_t minute = std::min(floor_div(date_s, 60), floor_div(now_ms, kMsPerMinute));
    return walk_back(s, tf, now_ms, minute, 0, count);
}

BarSelection select_from_pos(const PriceSource& s, Timeframe tf, std::int64_t now_ms,
                             std::uint64_t start_pos, std::uint64_t count) {
    return walk_back(s, tf, now_ms, floor_div(now_ms, kMsPerMinute), start_pos, count);
}

namespace {

// walk_back answered from a kept series: the periods from `minute` down to
// the series' end walked as above, the older bars taken from the series.
// The series reaches back far enough for the bars wanted, or to the
// history's start.
BarPlan plan_back(Market& market, const PriceSource& s, Timeframe tf, std::int64_t now_ms, std::int64_t minute,
                  std::uint64_t skip, std::uint64_t count) {
    BarPlan plan;
    const std::int64_t top = period_start(tf, minute);
    const std::int64_t history_minute = s.first_ms() / kMsPerMinute;
    if (count == 0 || period_next(tf, top) <= history_minute) return plan;  // nothing that old
    const std::int64_t hi_day = floor_div(minute, kMinutesPerDay) + 1;
    const std::int64_t period = tf == Timeframe::MN1 ? 31 * kMinutesPerDay
                                : tf == Timeframe::W1 ? 7 * kMinutesPerDay
                                                      : minutes_of(tf);
    // A first guess of the days holding the bars wanted, doubled until
    // they are there (markets close at weekends and holidays).
    const std::uint64_t wanted = std::min<std::uint64_t>(skip + count, std::uint64_t{1} << 40);
    const std::int64_t all_days = hi_day - kProcessFirstDay + 1;
    std::int64_t days = std::min(static_cast<std::int64_t>(wanted) * period / kMinutesPerDay + 2, all_days);
    for (;;) {
        plan = BarPlan{};
        plan.series = market.bar_books().series(s, tf, hi_day - days, hi_day, now_ms);
        if (!plan.series) {
            plan.tail = walk_back(s, tf, now_ms, minute, skip, count);
            return plan;
        }
        const std::int64_t end = series_end(*plan.series, tf, now_ms);
        std::uint64_t left_skip = skip;
        for (std::int64_t p = top; p >= end && period_next(tf, p) > history_minute; p = period_prev(tf, p)) {
            if (!period_has_ticks(s, tf, p, now_ms)) continue;
            if (left_skip > 0) {
                --left_skip;
                continue;
            }
            plan.tail.first = p;
            if (++plan.tail.count == count) return plan;
        }
        const std::size_t below = plan.series->lower(std::min(top + 1, end));
        const std::uint64_t wanted_here = count - plan.tail.count;
        const std::uint64_t there = below > left_skip ? below - left_skip : 0;
        plan.count = static_cast<std::size_t>(std::min(there, wanted_here));
        plan.from = static_cast<std::size_t>(there - plan.count);
        if (plan.count == wanted_here || plan.series->from_start) return plan;
        days = std::min(days * 2, all_days);
    }
}

}  // namespace

BarPlan plan_from(Market& market, const PriceSource& s, Timeframe tf, std::int64_t now_ms, std::int64_t date_s,
                  std::uint64_t count) {
    const std::int64_t minute = std::min(floor_div(date_s, 60), floor_div(now_ms, kMsPerMinute));
    return plan_back(market, s, tf, now_ms, minute, 0, count);
}

BarPlan plan_from_pos(Market& market, const PriceSource& s, Timeframe tf, std::int64_t now_ms,
                      std::uint64_t start_pos, std::uint64_t count) {
    return plan_back(market, s, tf, now_ms, floor_div(now_ms, kMsPerMinute), start_pos, count);
}

BarCursor::BarCursor(Market& market, const PriceSource& s, Timeframe tf, std::int64_t now_ms,
                     BarSelection selection)
    : market_(market), s_(s), tf_(tf), next_(selection.first), left_(selection.count), upto_ms_(now_ms) {}

const Aggregate& BarCursor::minute_of(std::int64_t minute) {
    const std::int64_t day = day_of_minute(minute);
    if (day != minutes_day_) {
        minutes_ = DayMinutes(market_, s_, day, upto_ms_);
        minutes_day_ = day;
    }
    return minutes_[static_cast<std::size_t>(minute - day * kMinutesPerDay)];
}

const HourBlock& BarCursor::hours_of(std::int64_t day) {
    if (day != hours_day_) {
        hours_ = market_.hours(s_, day, upto_ms_);
        hours_day_ = day;
    }
    return hours_;
}

Aggregate BarCursor::aggregate(std::int64_t start, std::int64_t end) {
    Aggregate a;
    const std::int64_t history_day = s_.first_day();
    if (minutes_of(tf_) < 60) {
        if (day_of_minute(start) < history_day) return a;
        if (end - start == 1 && left_ == 1 && minutes_day_ != day_of_minute(start)) {
            // A lone minute bar (a step's M1 bar) from the minute's own ticks,
            // which the step's latest quote has just made, rather than from a
            // table of the whole day: the same aggregate either way.
            a.add(s_.minute_upto(start, upto_ms_));
            return a;
        }
        for (std::int64_t m = start; m < end; ++m) a.add(minute_of(m));
    } else if (minutes_of(tf_) < kMinutesPerDay) {
        if (day_of_minute(start) < history_day) return a;
        const std::int64_t day = day_of_minute(start);
        const HourBlock& hours = hours_of(day);
        const auto h0 = static_cast<std::size_t>((start - day * kMinutesPerDay) / 60);
        const auto h1 = static_cast<std::size_t>((end - day * kMinutesPerDay) / 60);
        for (std::size_t h = h0; h < h1; ++h) a.add(hours[h]);
    } else {
        for (std::int64_t day = std::max(day_of_minute(start), history_day); day < day_of_minute(end); ++day) {
            const std::int64_t day_ms = day * kMsPerDay;
            if (day_ms > upto_ms_) break;
            if (!s_.any_in(day_ms, std::min(day_ms + kMsPerDay - 1, upto_ms_))) continue;
            for (const Aggregate& h : hours_of(day)) a.add(h);
        }
    }
    return a;
}

std::size_t BarCursor::fill(wire::BarRecord* out, std::size_t max) {
    std::size_t written = 0;
    const std::int64_t now_minute = floor_div(upto_ms_, kMsPerMinute);
    while (written < max && left_ > 0 && next_ <= now_minute) {
        const std::int64_t start = next_;
        const std::int64_t end = period_next(tf_, start);
        next_ = end;
        if (!period_has_ticks(s_, tf_, start, upto_ms_)) continue;
        out[written++] = bar_record(start, aggregate(start, end));
        --left_;
    }
    return written;
}

}  // namespace qvn::terminal
