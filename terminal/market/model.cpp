#include "terminal/market/model.hpp"

#include <algorithm>
#include <cmath>

#include "terminal/market/noise.hpp"

namespace qvn::terminal {
namespace {

// Salts keep the draws of one key independent of each other.
constexpr std::uint64_t kSaltDay = 0x11;
constexpr std::uint64_t kSaltPath = 0x12;
constexpr std::uint64_t kSaltCount = 0x13;
constexpr std::uint64_t kSaltMinute = 0x14;
constexpr std::uint64_t kSaltVolFast = 0x21;
constexpr std::uint64_t kSaltVolMid = 0x22;
constexpr std::uint64_t kSaltVolSlow = 0x23;
constexpr std::uint64_t kSaltShape = 0x31;
constexpr std::uint64_t kSaltStep = 0x32;
constexpr std::uint64_t kSaltDeal = 0x33;
constexpr std::uint64_t kSaltNudge = 0x34;

constexpr std::size_t kProcessDays = static_cast<std::size_t>(kProcessEndDay - kProcessFirstDay);
constexpr int kMinutesPerWeek = 7 * kMinutesPerDay;

// Variance weight of a closed minute relative to an open minute of
// intensity 1: prices drift a little while nobody trades, so sessions open
// with small gaps.
constexpr double kClosedWeight = 0.03;
// Daily pull of the log price back to the reference level; keeps a century
// of random walk within a plausible band (a half-life of about 14 months).
constexpr double kReversion = 1.0 / 400.0;

// Volatility cluster octaves: hours, days, weeks.
constexpr std::int64_t kVolFastPeriod = 360;
constexpr std::int64_t kVolMidPeriod = 2880;
constexpr std::int64_t kVolSlowPeriod = 17280;
constexpr double kVolFastAmp = 0.30;
constexpr double kVolMidAmp = 0.35;
constexpr double kVolSlowAmp = 0.40;

// Deal sizes are log-normal: exp(0.8 z) for a normal z, looked up on a grid
// of z in 1/64 steps over the range fast_normal() covers.
constexpr int kDealGridPerUnit = 64;
constexpr double kDealGridLow = -3.5;
constexpr int kDealGridSize = 7 * kDealGridPerUnit;

struct DealSizeTable {
    std::array<double, kDealGridSize> factor;
    DealSizeTable() {
        for (int i = 0; i < kDealGridSize; ++i)
            factor[static_cast<std::size_t>(i)] =
                std::exp(0.8 * (kDealGridLow + (i + 0.5) / kDealGridPerUnit));
    }
    double operator()(double z) const noexcept {
        const int i = static_cast<int>((z - kDealGridLow) * kDealGridPerUnit);
        return factor[static_cast<std::size_t>(std::clamp(i, 0, kDealGridSize - 1))];
    }
};
const DealSizeTable kDealSize;

std::uint64_t minute_base(std::uint64_t seed, std::int64_t minute) noexcept {
    return hash_key(seed, static_cast<std::uint64_t>(minute), kSaltMinute);
}

// Tick j of a minute with n ticks lies in its own slot of the minute, so
// times strictly increase without looking at neighbours. Slots are 32.32
// fixed-point fractions of the minute: at most 2000 ticks leave every slot
// at least 29 ms wide.
std::uint64_t slot_width(int n) noexcept { return (static_cast<std::uint64_t>(kMsPerMinute) << 32) / static_cast<std::uint64_t>(n); }

std::int64_t tick_offset(std::uint64_t shape, int j, std::uint64_t slot) noexcept {
    const std::uint64_t lo = (static_cast<std::uint64_t>(j) * slot) >> 32;
    const std::uint64_t hi = (static_cast<std::uint64_t>(j + 1) * slot) >> 32;
    return static_cast<std::int64_t>(lo + (((shape & 0xFFFF) * (hi - lo)) >> 16));
}

bool is_deal(std::uint64_t shape, int j, std::uint32_t threshold) noexcept {
    return j > 0 && ((shape >> 16) & 0xFFFF) < threshold;
}

}  // namespace

std::uint64_t deal_units(double volume) noexcept {
    const auto units = static_cast<std::uint64_t>(round_to_int(volume));
    return units == 0 ? 1 : units;
}

// ---- SymbolModel ----------------------------------------------------------

SymbolModel::SymbolModel(const Instrument& ins)
    : instrument_(&ins),
      seed_(name_seed(ins.name)),
      point_scale_(decimal_scale(ins.digits)),
      tick_price_(ins.tick_points / decimal_scale(ins.digits)),
      spread_ticks_(std::max<std::int64_t>(1, ins.spread_points / ins.tick_points)),
      deal_threshold_(static_cast<std::uint32_t>(ins.deal_share * 65536.0)),
      intensity_(kMinutesPerWeek) {
    for (int w = 0; w < 7; ++w) {
        first_open_[w] = last_open_[w] = -1;
        for (int m = 0; m < kMinutesPerDay; ++m) {
            const double f = session_intensity(ins, w * kMinutesPerDay + m);
            intensity_[static_cast<std::size_t>(w * kMinutesPerDay + m)] = static_cast<float>(f);
            weekday_weight_[w] += f > 0 ? f : kClosedWeight;
            if (f > 0) {
                if (first_open_[w] < 0) first_open_[w] = m;
                last_open_[w] = m;
            }
        }
        open_weekday_[w] = first_open_[w] >= 0;
    }
    day_table_.log.resize(kProcessDays + 1);
    day_table_.sigma.resize(kProcessDays);
}

// The day table: annual variance spread over the week by session weight,
// scaled by the slow volatility octaves at midday.
void SymbolModel::make_day_table() const noexcept {
    const std::lock_guard lock(day_table_mutex_);
    if (day_table_made_.load(std::memory_order_relaxed)) return;  // another thread made it meanwhile
    const Instrument& ins = *instrument_;
    double week = 0;
    for (double w : weekday_weight_) week += w;
    const double reference = std::log(ins.reference_price);
    double x = reference;
    for (std::size_t i = 0; i < kProcessDays; ++i) {
        const std::int64_t day = kProcessFirstDay + static_cast<std::int64_t>(i);
        const std::int64_t noon = day * kMinutesPerDay + 720;
        const double slow = std::exp(kVolMidAmp * value_noise(seed_, kSaltVolMid, noon, kVolMidPeriod) +
                                     kVolSlowAmp * value_noise(seed_, kSaltVolSlow, noon, kVolSlowPeriod));
        const double share = weekday_weight_[weekday_from_monday(day)] / week;
        const double sigma = ins.annual_volatility * std::sqrt(share / 52.1775) * slow;
        day_table_.log[i] = x;
        day_table_.sigma[i] = static_cast<float>(sigma);
        x += sigma * exact_normal(hash_key(seed_, static_cast<std::uint64_t>(day), kSaltDay)) -
             kReversion * (x - reference);
    }
    day_table_.log[kProcessDays] = x;
    day_table_made_.store(true, std::memory_order_release);
}

bool SymbolModel::open_minute(std::int64_t minute) const noexcept {
    const std::int64_t day = floor_div(minute, kMinutesPerDay);
    if (day < kProcessFirstDay || day >= kProcessEndDay) return false;
    return intensity(day, static_cast<int>(minute - day * kMinutesPerDay)) > 0;
}

std::int64_t SymbolModel::quantize(double log_price) const noexcept {
    return round_to_int(std::exp(log_price) / tick_price_);
}

double SymbolModel::volatility(std::int64_t minute) const noexcept {
    return std::exp(kVolFastAmp * value_noise(seed_, kSaltVolFast, minute, kVolFastPeriod) +
                    kVolMidAmp * value_noise(seed_, kSaltVolMid, minute, kVolMidPeriod) +
                    kVolSlowAmp * value_noise(seed_, kSaltVolSlow, minute, kVolSlowPeriod));
}

// A day opens at the bid the last open day closed at: the end anchor of
// that day. Days in between move the latent price only, which makes the
// session's opening gap.
std::int64_t SymbolModel::day_start_bid(std::int64_t day) const noexcept {
    for (std::int64_t p = day - 1; p >= day - kLookbackDays && p >= kProcessFirstDay; --p)
        if (open_day(p)) return quantize(day_log(p + 1));
    return quantize(day_log(day));
}

std::int64_t SymbolModel::first_tick_time(std::int64_t minute, const MinutePlan& mp) const noexcept {
    const std::uint64_t shape = hash_tick(minute_base(seed_, minute), 0, kSaltShape);
    return minute * kMsPerMinute + tick_offset(shape, 0, slot_width(mp.ticks));
}

DayPlan SymbolModel::make_plan(std::int64_t day) const {
    DayPlan plan;
    plan.day = day;
    if (!open_day(day)) return plan;

    std::array<double, kMinutesPerDay> weight;
    std::array<double, kMinutesPerDay> step;
    double total_weight = 0;
    for (int m = 0; m < kMinutesPerDay; ++m) {
        const std::int64_t minute = day * kMinutesPerDay + m;
        const double f = intensity(day, m);
        const double v = volatility(minute);
        weight[m] = (f > 0 ? f : kClosedWeight) * v * v;
        total_weight += weight[m];
        MinutePlan& mp = plan.minutes[m];
        if (f <= 0) continue;
        // More ticks when the market is busy or volatile.
        const double rate = instrument_->tick_rate * f * std::sqrt(v) * std::sqrt(std::sqrt(v));
        const double u = unit_uniform(hash_key(seed_, static_cast<std::uint64_t>(minute), kSaltCount));
        const int n = std::clamp(static_cast<int>(rate * (0.5 + u)), 1, kMaxTicksPerMinute);
        int deals = 0;
        if (instrument_->has_deals()) {
            const std::uint64_t base = minute_base(seed_, minute);
            for (int j = 1; j < n; ++j)
                deals += is_deal(hash_tick(base, static_cast<std::uint64_t>(j), kSaltShape), j, deal_threshold_);
        }
        mp.ticks = static_cast<std::uint16_t>(n);
        mp.quotes = static_cast<std::uint16_t>(n - deals);
        // Quiet hours and volatile stretches widen the spread.
        mp.spread = static_cast<float>(static_cast<double>(spread_ticks_) * (1.0 + 0.8 * std::max(0.0, 1.0 - f)) *
                                       std::sqrt(v));
        plan.quotes += mp.quotes;
        plan.deals += static_cast<std::uint32_t>(deals);
        if (plan.first_open < 0) plan.first_open = m;
        plan.last_open = m;
    }

    // Latent log price at minute ends: independent steps with the minute's
    // variance share, bridged so the day ends on the next day's anchor.
    const double x0 = day_log(day);
    const double x1 = day_log(day + 1);
    const double sigma = day_sigma(day);
    std::array<double, kMinutesPerDay> inc;
    double sum = 0;
    for (int m = 0; m < kMinutesPerDay; ++m) {
        const std::int64_t minute = day * kMinutesPerDay + m;
        step[m] = sigma * std::sqrt(weight[m] / total_weight);
        inc[m] = step[m] * exact_normal(hash_key(seed_, static_cast<std::uint64_t>(minute), kSaltPath));
        sum += inc[m];
    }
    const double correction = sum - (x1 - x0);

    // Bid anchors. Each open minute walks from where the last one ended to
    // the quantised latent price at its end; the last open minute ends on
    // the day's end anchor, where the next open day starts.
    std::int64_t bid = day_start_bid(day);
    const std::int64_t end_bid = quantize(x1);
    double latent = x0;
    int previous = -1;
    for (int m = 0; m < kMinutesPerDay; ++m) {
        const double level = latent;
        latent += inc[m] - weight[m] / total_weight * correction;
        MinutePlan& mp = plan.minutes[m];
        if (mp.ticks == 0) continue;
        const std::int64_t target = m == plan.last_open ? end_bid : quantize(latent);
        std::int64_t delta = target - bid;
        // A single quote must move the bid: nudge the target, or for the
        // day's last minute (whose end is fixed) the previous minute's end.
        if (mp.quotes == 1 && delta == 0) {
            const std::uint64_t nudge = hash_key(seed_, static_cast<std::uint64_t>(day * kMinutesPerDay + m), kSaltNudge);
            std::int64_t dir = (nudge & 1) ? 1 : -1;
            if (m != plan.last_open || previous < 0) {
                delta = dir;
            } else {
                MinutePlan& pm = plan.minutes[previous];
                if (pm.quotes == 1 && pm.delta + dir == 0) dir = -dir;
                pm.delta += dir;
                bid += dir;
                delta = target - bid;
            }
        }
        mp.start_bid = bid;
        mp.delta = delta;
        const double minute_ticks = std::exp(level) * step[m] / tick_price_;
        mp.step_sigma = static_cast<float>(std::max(0.5, minute_ticks / std::sqrt(static_cast<double>(mp.quotes))));
        bid += delta;
        previous = m;
    }
    return plan;
}

// Follows minute_ticks: a change there must keep these bounds true.
// The quotes' bid levels (relative to start_bid) walk in k = quotes steps
// of at most kFastNormalBound * step_sigma each, bridged onto delta: level
// i before the last is the walk after i + 1 steps, less (i + 1) / k of the
// whole walk, plus (i + 1) / k of delta, rounded and moved at most a tick.
// A walk of k bounded steps less its share of the total stays within k / 2
// steps of 0 (2 j (k - j) / k steps after j), so every level lies within
// k / 2 steps of the straight line from 0 to delta, less rounding; the
// last two levels are delta and delta +- 1. A quote's spread is its share
// 0.8 ... 1.2 of the minute's spread, rounded, at least one tick.
QuoteRange SymbolModel::quote_range(const MinutePlan& mp) const noexcept {
    const double k = mp.quotes;
    const double step = kFastNormalBound * static_cast<double>(mp.step_sigma);
    const auto reach = static_cast<std::int64_t>(std::ceil(k * step / 2)) + 2;
    const double spread = mp.spread;
    QuoteRange r;
    r.bid_lo = mp.start_bid + std::min<std::int64_t>(0, mp.delta) - reach;
    r.bid_hi = mp.start_bid + std::max<std::int64_t>(0, mp.delta) + reach;
    r.spread_lo = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::floor(spread * 0.8)) - 1);
    r.spread_hi = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(spread * 1.2)) + 1);
    return r;
}

int SymbolModel::minute_ticks(const DayPlan& plan, int m, RawTick* out) const noexcept {
    const MinutePlan& mp = plan.minutes[m];
    const int n = mp.ticks;
    if (n == 0) return 0;
    const std::int64_t minute = plan.day * kMinutesPerDay + m;
    const std::uint64_t base = minute_base(seed_, minute);
    const std::int64_t t0 = minute * kMsPerMinute;
    const int k = mp.quotes;
    const double sigma = mp.step_sigma;
    const double spread = mp.spread;
    const double deal_scale = decimal_scale(instrument_->deal_volume_digits);
    const double deal_min = 1.0 / deal_scale;
    const std::uint64_t slot = slot_width(n);

    // Pass 1: times, kinds, spreads and raw bid steps of the quotes.
    double walk[kMaxTicksPerMinute];
    double run = 0;
    int q = 0;
    for (int j = 0; j < n; ++j) {
        RawTick& t = out[j];
        const std::uint64_t shape = hash_tick(base, static_cast<std::uint64_t>(j), kSaltShape);
        t.time_msc = t0 + tick_offset(shape, j, slot);
        if (is_deal(shape, j, deal_threshold_)) {
            t.kind = (shape >> 32) & 1 ? TickKind::Buy : TickKind::Sell;
            const double size =
                instrument_->deal_volume * kDealSize(fast_normal(hash_tick(base, static_cast<std::uint64_t>(j), kSaltDeal)));
            t.volume = std::max(deal_min, static_cast<double>(round_to_int(size * deal_scale)) / deal_scale);
            continue;
        }
        t.kind = TickKind::Quote;
        t.volume = 0;
        const double u = static_cast<double>(shape >> 40) * 0x1.0p-24;
        t.ask = std::max<std::int64_t>(1, round_to_int(spread * (0.8 + 0.4 * u)));  // the spread, for now
        run += fast_normal(hash_tick(base, static_cast<std::uint64_t>(j), kSaltStep)) * sigma;
        walk[q++] = run;
    }

    // The walk bridged onto the minute's delta and rounded to whole ticks;
    // a step that rounds to zero moves one tick towards the latent path.
    std::int64_t level[kMaxTicksPerMinute];
    const double excess = (run - static_cast<double>(mp.delta)) / k;
    std::int64_t prev = 0;
    for (int i = 0; i < k; ++i) {
        std::int64_t c;
        if (i == k - 1) {
            c = mp.delta;
        } else {
            const double b = walk[i] - static_cast<double>(i + 1) * excess;
            c = round_to_int(b);
            const std::int64_t toward = b >= static_cast<double>(prev) ? 1 : -1;
            c += c == prev ? toward : 0;
        }
        level[i] = c;
        prev = c;
    }
    // The fixed last step must not be zero either.
    if (k >= 2 && level[k - 2] == mp.delta) {
        const std::int64_t before = k >= 3 ? level[k - 3] : 0;
        level[k - 2] = mp.delta + 1 == before ? mp.delta - 1 : mp.delta + 1;
    }

    // Pass 2: absolute prices; deals trade at the standing quote.
    std::int64_t bid = mp.start_bid;
    std::int64_t ask = bid + std::max<std::int64_t>(1, round_to_int(spread));
    q = 0;
    for (int j = 0; j < n; ++j) {
        RawTick& t = out[j];
        if (t.kind == TickKind::Quote) {
            bid = mp.start_bid + level[q++];
            ask = bid + t.ask;
        }
        t.bid = bid;
        t.ask = ask;
    }
    return n;
}

}  // namespace qvn::terminal
