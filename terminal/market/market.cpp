#include "terminal/market/market.hpp"

#include <algorithm>

namespace qvn::terminal {
namespace {

// About 40 MiB of minute blocks: weeks of minute bars of many symbols, or
// years of one.
constexpr std::size_t kMinuteBlocksKept = 512;
constexpr std::size_t kHourBlockBudget = (192u << 20) / sizeof(HourBlock);
// Kept bars: the minute books (a year of EURUSD holds about 60 MiB, so a
// year of four such symbols, or four years of one) and the hour books (a
// year of EURUSD holds about 1 MiB: the default history of a dozen
// symbols; one let go is made again from the hour aggregates).
constexpr BarBooks::Budgets kBarBudgets{288u << 20, 96u << 20};

}  // namespace

const Aggregate DayMinutes::kEmpty{};

Market::Market(std::int64_t history_first_day, MarketClock clock)
    : Market(history_first_day, clock, kBarBudgets) {}

Market::Market(std::int64_t history_first_day, MarketClock clock, BarBooks::Budgets bar_budgets)
    : history_first_day_(std::clamp(history_first_day, kProcessFirstDay, kProcessEndDay)), clock_(clock),
      bar_books_(*this, bar_budgets) {
    for (const Instrument& ins : symbol_table()) add_source(std::make_unique<ModelSource>(ins, plans_, history_first_day_));
    model_count_ = sources_.size();
}

Market::~Market() {
    for (const HourSlots& h : hour_slots_)
        for (std::size_t i = 0; i < h.days; ++i) delete h.slots[i].load(std::memory_order_relaxed);
}

void Market::add_source(std::unique_ptr<PriceSource> source) {
    source->set_index(sources_.size());
    HourSlots h;
    h.first_day = source->first_day();
    h.days = static_cast<std::size_t>(std::max<std::int64_t>(0, source->end_day() - source->first_day()));
    h.slots = std::make_unique<std::atomic<const HourBlock*>[]>(h.days);
    for (std::size_t i = 0; i < h.days; ++i) h.slots[i].store(nullptr, std::memory_order_relaxed);
    hour_slots_.push_back(std::move(h));
    progress_.emplace_back();
    sources_.push_back(std::move(source));
}

const ModelSource* Market::find(std::u16string_view name) const noexcept {
    const Instrument* ins = find_symbol(name);
    if (ins == nullptr) return nullptr;
    return static_cast<const ModelSource*>(sources_[static_cast<std::size_t>(ins - symbol_table().data())].get());
}

std::atomic<const HourBlock*>* Market::hour_slot(const PriceSource& s, std::int64_t day) noexcept {
    HourSlots& h = hour_slots_[s.index()];
    if (day < h.first_day || day - h.first_day >= static_cast<std::int64_t>(h.days)) return nullptr;
    return &h.slots[static_cast<std::size_t>(day - h.first_day)];
}

std::shared_ptr<const MinuteBlock> Market::minutes(const PriceSource& s, std::int64_t day) {
    return minutes(s, day, true);
}

std::shared_ptr<const MinuteBlock> Market::minutes(const PriceSource& s, std::int64_t day, bool keep) {
    const BlockKey key{s.index(), day};
    {
        std::lock_guard lock(block_mutex_);
        const auto it = block_index_.find(key);
        if (it != block_index_.end()) {
            block_lru_.splice(block_lru_.begin(), block_lru_, it->second);
            return it->second->second;
        }
    }
    auto block = std::make_shared<MinuteBlock>();
    read_day(s, day, *block);
    if (!keep) return block;
    std::lock_guard lock(block_mutex_);
    const auto it = block_index_.find(key);
    if (it != block_index_.end()) return it->second->second;
    block_lru_.emplace_front(key, block);
    block_index_[key] = block_lru_.begin();
    if (block_lru_.size() > kMinuteBlocksKept) {
        block_index_.erase(block_lru_.back().first);
        block_lru_.pop_back();
    }
    return block;
}

void Market::read_day(const PriceSource& s, std::int64_t day, MinuteBlock& out) {
    days_read_.fetch_add(1, std::memory_order_relaxed);
    s.day_minutes(day, out);
}

void Market::keep_hours(const PriceSource& s, std::int64_t day, const MinuteBlock& minutes) {
    std::atomic<const HourBlock*>* slot = hour_slot(s, day);
    if (slot == nullptr || slot->load(std::memory_order_acquire) != nullptr) return;
    HourBlock hours{};
    for (std::size_t m = 0; m < kMinutesPerDay; ++m) hours[m / 60].add(minutes[m]);
    keep(slot, hours);
}

void Market::keep(std::atomic<const HourBlock*>* slot, const HourBlock& hours) {
    if (slot == nullptr || hour_blocks_used_.load(std::memory_order_relaxed) >= kHourBlockBudget) return;
    auto kept = std::make_unique<HourBlock>(hours);
    const HourBlock* expected = nullptr;
    if (slot->compare_exchange_strong(expected, kept.get(), std::memory_order_release)) {
        kept.release();
        hour_blocks_used_.fetch_add(1, std::memory_order_relaxed);
    }
}

HourBlock Market::complete_hours(const PriceSource& s, std::int64_t day) {
    std::atomic<const HourBlock*>* slot = hour_slot(s, day);
    if (slot != nullptr)
        if (const HourBlock* cached = slot->load(std::memory_order_acquire)) return *cached;
    HourBlock out{};
    // Kept bars need no ticks (the budget of hour aggregates may be spent).
    if (bar_books_.day_hours(s, day, out)) return out;
    // Long bars over years pass through many complete days once: their
    // minute blocks are not worth keeping.
    const auto block = minutes(s, day, false);
    for (std::size_t m = 0; m < kMinutesPerDay; ++m) out[m / 60].add((*block)[m]);
    keep(slot, out);
    return out;
}

HourBlock Market::hours(const PriceSource& s, std::int64_t day, std::int64_t upto_ms) {
    if ((day + 1) * kMsPerDay <= upto_ms) return complete_hours(s, day);
    HourBlock out{};
    if (upto_ms < day * kMsPerDay) return out;  // nothing of the day yet
    // The minutes over at upto_ms, as DayMinutes cuts them, then the one in
    // progress. A clock on a minute's last millisecond has seen all of it.
    const std::int64_t minute = floor_div(upto_ms, kMsPerMinute);
    const bool minute_over = (minute + 1) * kMsPerMinute - 1 == upto_ms;
    const auto cut = static_cast<std::size_t>(minute - day * kMinutesPerDay) + (minute_over ? 1 : 0);

    // Start from the hours kept of an earlier read of the day: the sums of
    // minutes in order are the same, whichever read added them.
    DayInProgress kept;
    {
        std::lock_guard lock(progress_mutex_);
        kept = progress_[s.index()];
    }
    std::size_t from = 0;
    if (kept.upto_ms >= 0 && kept.day == day && kept.cut <= cut) {
        out = kept.hours;
        from = kept.cut;
    }
    if (from < cut) {
        const auto block = minutes(s, day);
        for (std::size_t m = from; m < cut; ++m) out[m / 60].add((*block)[m]);
    }
    Aggregate partial;
    if (!minute_over)
        partial = kept.upto_ms == upto_ms && kept.day == day ? kept.partial : s.minute_upto(minute, upto_ms);

    // Keep the latest read: the clock and a backtest's steps go forward.
    {
        std::lock_guard lock(progress_mutex_);
        DayInProgress& slot = progress_[s.index()];
        if (upto_ms >= slot.upto_ms) {
            slot.day = day;
            slot.upto_ms = upto_ms;
            slot.cut = cut;
            slot.hours = out;
            slot.partial = partial;
        }
    }
    if (!minute_over) out[cut / 60].add(partial);
    return out;
}

DayMinutes::DayMinutes(Market& market, const PriceSource& s, std::int64_t day, std::int64_t upto_ms) {
    const std::int64_t day_ms = day * kMsPerDay;
    if (upto_ms < day_ms) return;  // nothing of the day yet
    block_ = market.minutes(s, day);
    if (upto_ms >= day_ms + kMsPerDay - 1) {
        cut_ = kMinutesPerDay;
        return;
    }
    const std::int64_t minute = floor_div(upto_ms, kMsPerMinute);
    cut_ = static_cast<std::size_t>(minute - day * kMinutesPerDay);
    // A clock on a minute's last millisecond has seen all of it.
    if ((minute + 1) * kMsPerMinute - 1 == upto_ms)
        ++cut_;
    else
        partial_ = s.minute_upto(minute, upto_ms);
}

}  // namespace qvn::terminal
