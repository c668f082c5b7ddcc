// The model's tick stream as records: which ticks a span selects, how many
// there are, and a reader that writes them minute by minute.
//
// Flags compare each tick with the tick just before it in the full stream
// (selected or not), so a tick's record is the same whichever request
// returns it.
#include <algorithm>

#include "terminal/enums.hpp"
#include "terminal/market/model_source.hpp"

namespace qvn::terminal {
namespace {

std::uint64_t selected(DayCounts c, TickFilter f) noexcept {
    return (f.quotes ? c.quotes : 0u) + (f.deals ? c.deals : 0u);
}

bool wanted(TickKind kind, TickFilter f) noexcept { return kind == TickKind::Quote ? f.quotes : f.deals; }

class ModelReader final : public TickReader {
public:
    ModelReader(const ModelSource& source, TickSpan span, TickFilter filter);
    std::size_t fill(wire::TickRecord* out, std::size_t max) override;

private:
    bool load_next_minute();
    void init_context(std::int64_t minute);
    // The ticks of a minute of `plan`, made into the reader's room.
    int make_minute(const DayPlan& plan, int minute);

    const ModelSource& source_;
    const SymbolModel& s_;
    TickSpan span_;
    TickFilter filter_;

    std::int64_t day_ = 0;
    int minute_ = -1;  // minute of day_ currently loaded
    std::shared_ptr<const DayPlan> plan_;
    // Room for the largest minute made so far (a few ticks, where room for
    // the most a minute may hold would be a large block taken and given
    // back on every read); never read before minute_ticks() writes it.
    std::unique_ptr<RawTick[]> ticks_;
    std::size_t room_ = 0;
    int count_ = 0;
    int pos_ = 0;
    bool done_ = false;

    // The tick before the next one; bid -1 when there is none.
    std::int64_t bid_ = -1;
    std::int64_t ask_ = -1;
    std::int64_t last_ = 0;  // price of the latest deal in price ticks, 0 before any
    double last_price_ = 0;  // the same as written to records
};

ModelReader::ModelReader(const ModelSource& source, TickSpan span, TickFilter filter)
    : source_(source),
      s_(source.model()),
      span_(span),
      filter_(filter) {
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
void ModelReader::init_context(std::int64_t minute) {
    const std::int64_t day = floor_div(minute, kMinutesPerDay);
    const int first = static_cast<int>(minute - day * kMinutesPerDay);
    bool need_quote = true;
    bool need_deal = s_.instrument().has_deals();
    for (std::int64_t d = day; d >= day - kLookbackDays && d >= kProcessFirstDay && (need_quote || need_deal); --d) {
        if (!s_.open_day(d)) continue;
        if (d != day && need_deal && !need_quote && source_.day_counts(d).deals == 0) continue;
        const auto plan = source_.plan(d);
        for (int m = (d == day ? first : kMinutesPerDay) - 1; m >= plan->first_open && m >= 0; --m) {
            const MinutePlan& mp = plan->minutes[m];
            if (mp.ticks == 0) continue;
            if (!need_quote && mp.ticks == mp.quotes) continue;
            const int n = make_minute(*plan, m);
            if (need_quote) {
                bid_ = ticks_[n - 1].bid;
                ask_ = ticks_[n - 1].ask;
                need_quote = false;
            }
            for (int j = n - 1; need_deal && j >= 0; --j) {
                if (ticks_[j].kind == TickKind::Quote) continue;
                last_ = ticks_[j].kind == TickKind::Buy ? ticks_[j].ask : ticks_[j].bid;
                last_price_ = source_.price(last_);
                need_deal = false;
            }
            if (!need_quote && !need_deal) return;
        }
    }
}

int ModelReader::make_minute(const DayPlan& plan, int minute) {
    const std::size_t n = plan.minutes[static_cast<std::size_t>(minute)].ticks;
    if (n > room_) {
        room_ = std::min<std::size_t>(std::max(n, 2 * room_), kMaxTicksPerMinute);
        ticks_ = std::make_unique_for_overwrite<RawTick[]>(room_);
    }
    return source_.minute_ticks(plan, minute, ticks_.get());
}

bool ModelReader::load_next_minute() {
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
        if (!plan_) plan_ = source_.plan(day_);
        if (minute_ > plan_->last_open) {
            minute_ = kMinutesPerDay - 1;
            continue;
        }
        if (plan_->minutes[minute_].ticks == 0) continue;
        count_ = make_minute(*plan_, minute_);
        pos_ = 0;
        return true;
    }
}

std::size_t ModelReader::fill(wire::TickRecord* out, std::size_t max) {
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
                if (price != last_) last_price_ = source_.price(price);
                last_ = price;
                volume_real = t.volume;
                volume = deal_units(t.volume);
            }
            if (t.time_msc < span_.lo_ms || !wanted(t.kind, filter_)) continue;
            wire::TickRecord& r = out[written++];
            r.time = t.time_msc / 1000;
            r.bid = source_.price(t.bid);
            r.ask = source_.price(t.ask);
            r.last = last_price_;
            r.volume = volume;
            r.time_msc = t.time_msc;
            r.flags = flags;
            r.volume_real = volume_real;
        }
    }
    return written;
}

}  // namespace

std::unique_ptr<TickReader> ModelSource::read(TickSpan span, TickFilter filter) const {
    return std::make_unique<ModelReader>(*this, span, filter);
}

std::uint64_t ModelSource::count(TickSpan span, TickFilter filter, std::uint64_t limit) const {
    if (span.empty()) return 0;
    std::uint64_t total = 0;
    const std::int64_t first_day = floor_div(span.lo_ms, kMsPerDay);
    const std::int64_t last_day = floor_div(span.hi_ms, kMsPerDay);
    std::unique_ptr<RawTick[]> ticks;
    for (std::int64_t day = first_day; day <= last_day && total <= limit; ++day) {
        if (!model_.open_day(day)) continue;
        const std::int64_t day_lo = day * kMsPerDay;
        if (span.lo_ms <= day_lo && day_lo + kMsPerDay - 1 <= span.hi_ms) {
            total += selected(day_counts(day), filter);
            continue;
        }
        // A day cut by the span: whole minutes from the plan, the (at most
        // two) cut minutes tick by tick.
        const auto p = plan(day);
        for (int m = p->first_open; m >= 0 && m <= p->last_open; ++m) {
            const MinutePlan& mp = p->minutes[m];
            if (mp.ticks == 0) continue;
            const std::int64_t lo = day_lo + m * kMsPerMinute;
            const std::int64_t hi = lo + kMsPerMinute - 1;
            if (hi < span.lo_ms || lo > span.hi_ms) continue;
            if (span.lo_ms <= lo && hi <= span.hi_ms) {
                total += selected(DayCounts{mp.quotes, static_cast<std::uint32_t>(mp.ticks - mp.quotes)}, filter);
                continue;
            }
            if (!ticks) ticks = std::make_unique_for_overwrite<RawTick[]>(kMaxTicksPerMinute);
            const int n = model_.minute_ticks(*p, m, ticks.get());
            for (int j = 0; j < n; ++j) {
                const RawTick& t = ticks[j];
                if (t.time_msc >= span.lo_ms && t.time_msc <= span.hi_ms && wanted(t.kind, filter)) ++total;
            }
        }
    }
    return total;
}

std::optional<wire::TickRecord> ModelSource::latest(std::int64_t at_ms) const {
    const std::int64_t today = floor_div(at_ms, kMsPerDay);
    MinuteRoom room;
    for (std::int64_t d = today; d >= today - kLookbackDays && d >= kProcessFirstDay; --d) {
        if (!model_.open_day(d)) continue;
        const auto p = plan(d);
        int m = p->last_open;
        if (d == today) m = std::min<int>(m, static_cast<int>(floor_div(at_ms - d * kMsPerDay, kMsPerMinute)));
        for (; m >= 0 && m >= p->first_open; --m) {
            const std::size_t count = p->minutes[static_cast<std::size_t>(m)].ticks;
            if (count == 0) continue;
            // The time of the minute's last tick at or before at_ms (the
            // minute is kept: the reader below takes it again, and a step's
            // bar next).
            RawTick* ticks = room.get(count);
            int j = minute_ticks(*p, m, ticks) - 1;
            while (j >= 0 && ticks[static_cast<std::size_t>(j)].time_msc > at_ms) --j;
            if (j < 0) continue;
            // A quote-only stream's tick with one before it in the minute
            // takes its flags from that one alone: made here, as the reader
            // would write it, without the reader (a backtest asks this at
            // every step).
            if (j > 0 && !model_.instrument().has_deals()) {
                const RawTick& t = ticks[static_cast<std::size_t>(j)];
                const RawTick& before = ticks[static_cast<std::size_t>(j - 1)];
                wire::TickRecord r{};
                r.time = t.time_msc / 1000;
                r.bid = price(t.bid);
                r.ask = price(t.ask);
                r.time_msc = t.time_msc;
                r.flags = (t.bid != before.bid ? kTickBid : 0u) | (t.ask != before.ask ? kTickAsk : 0u);
                return r;
            }
            // The ticks of that time through the reader, so flags and the
            // carried last price are exactly those of tick history; the
            // earlier ones of the minute are stepped over, not written.
            const std::int64_t lo = d * kMsPerDay + m * kMsPerMinute;
            ModelReader reader(*this, TickSpan{ticks[static_cast<std::size_t>(j)].time_msc,
                                               std::min(at_ms, lo + kMsPerMinute - 1)},
                               TickFilter{});
            std::optional<wire::TickRecord> found;
            wire::TickRecord chunk[64];
            for (;;) {
                const std::size_t n = reader.fill(chunk, std::size(chunk));
                if (n > 0) found = chunk[n - 1];
                if (n < std::size(chunk)) break;
            }
            if (found) return found;
        }
    }
    return std::nullopt;
}

}  // namespace qvn::terminal
