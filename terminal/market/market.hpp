// The market: every price source (the simulated symbols, then any imported
// ones), the market clock, and the caches shared by every client thread.
// Everything cached is a pure function of its key, so a race between two
// threads only costs work. The caches belong to the market object: two
// markets in one process share nothing.
//
// Closed bars are kept in wire layout (bar_book.hpp); the others are built
// from per-day blocks of minute aggregates: a day's block covers all of its
// ticks and is made once, then cut at the clock when a request reads it (the
// minute in progress counted to the clock, later minutes empty), so a
// request for recent bars never scans a day of ticks. Recently used blocks
// are kept; the hour aggregates of complete days are kept within a budget,
// for long bars over years and for the hour books to be made again from;
// those of the clock's day are kept as of the latest read, which the next
// read brings up to its clock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "terminal/market/bar_book.hpp"
#include "terminal/market/calendar.hpp"
#include "terminal/market/clock.hpp"
#include "terminal/market/model_source.hpp"
#include "terminal/market/source.hpp"

namespace qvn::terminal {

class Market {
public:
    Market(std::int64_t history_first_day, MarketClock clock);
    // With budgets of one's own for the kept bars (tests).
    Market(std::int64_t history_first_day, MarketClock clock, BarBooks::Budgets bar_budgets);
    Market(const Market&) = delete;
    Market& operator=(const Market&) = delete;
    ~Market();

    // Adds a source after the others; only before the Terminal serves.
    void add_source(std::unique_ptr<PriceSource> source);
    // The simulated symbols in table order, then the imported ones.
    const std::vector<std::unique_ptr<PriceSource>>& sources() const noexcept { return sources_; }
    std::size_t model_count() const noexcept { return model_count_; }
    // The simulated symbol with exactly this name, or nullptr.
    const ModelSource* find(std::u16string_view name) const noexcept;

    MarketClock& clock() noexcept { return clock_; }
    std::int64_t now_ms() const noexcept { return clock_.now_ms(); }
    // First millisecond the simulated symbols serve: the history start.
    std::int64_t history_first_ms() const noexcept { return history_first_day_ * kMsPerDay; }
    // One past the last millisecond any source covers.
    static constexpr std::int64_t process_end_ms() noexcept { return kProcessEndMs; }

    // The minute aggregates of all of a day's ticks.
    std::shared_ptr<const MinuteBlock> minutes(const PriceSource& s, std::int64_t day);
    // The aggregates of the 24 hours of a day, counting only ticks at or
    // before `upto_ms`.
    HourBlock hours(const PriceSource& s, std::int64_t day, std::int64_t upto_ms);
    // The same of all of a day's ticks: kept, else from a bar book, else
    // from the ticks (and then kept, within the budget).
    HourBlock complete_hours(const PriceSource& s, std::int64_t day);
    // Keeps the hours of a day whose minutes were made, when not kept yet.
    void keep_hours(const PriceSource& s, std::int64_t day, const MinuteBlock& minutes);
    // Reads the ticks of a day into its minute aggregates, counted.
    void read_day(const PriceSource& s, std::int64_t day, MinuteBlock& out);
    // Days of ticks read for bars so far: what bar requests cost beyond
    // copying kept bars.
    std::uint64_t days_read() const noexcept { return days_read_.load(std::memory_order_relaxed); }
    // Closed bars kept in wire layout.
    BarBooks& bar_books() noexcept { return bar_books_; }

private:
    struct BlockKey {
        std::size_t source;
        std::int64_t day;
        auto operator<=>(const BlockKey&) const = default;
    };
    // Hour blocks of complete days, one slot per day of the source's span.
    struct HourSlots {
        std::int64_t first_day = 0;
        std::size_t days = 0;
        std::unique_ptr<std::atomic<const HourBlock*>[]> slots;
    };

    // The hours of a day the clock is in, as last read: those of its
    // minutes before `cut`, and the minute in progress counted to
    // `upto_ms`. A later read adds only the minutes over since.
    struct DayInProgress {
        std::int64_t day = 0;
        std::int64_t upto_ms = -1;  // -1: nothing kept
        std::size_t cut = 0;
        HourBlock hours{};
        Aggregate partial;
    };

    std::atomic<const HourBlock*>* hour_slot(const PriceSource& s, std::int64_t day) noexcept;
    // Keeps a day's hours in its slot (null: none), within the budget.
    void keep(std::atomic<const HourBlock*>* slot, const HourBlock& hours);
    // A cached block, or one made for this call alone when `keep` is false.
    std::shared_ptr<const MinuteBlock> minutes(const PriceSource& s, std::int64_t day, bool keep);

    std::int64_t history_first_day_;
    MarketClock clock_;
    PlanCache plans_;
    std::vector<std::unique_ptr<PriceSource>> sources_;
    std::size_t model_count_ = 0;

    std::vector<HourSlots> hour_slots_;  // by source index
    std::atomic<std::size_t> hour_blocks_used_{0};
    std::atomic<std::uint64_t> days_read_{0};

    BarBooks bar_books_;

    std::mutex progress_mutex_;
    std::vector<DayInProgress> progress_;  // by source index

    std::mutex block_mutex_;
    std::list<std::pair<BlockKey, std::shared_ptr<const MinuteBlock>>> block_lru_;
    std::map<BlockKey, decltype(block_lru_)::iterator> block_index_;
};

// The minutes of one day as a request sees them at `upto_ms`: minutes over
// by then from the day's block, the minute in progress counted up to
// `upto_ms`, later minutes empty.
class DayMinutes {
public:
    DayMinutes() = default;
    DayMinutes(Market& market, const PriceSource& s, std::int64_t day, std::int64_t upto_ms);

    const Aggregate& operator[](std::size_t minute_of_day) const noexcept {
        if (minute_of_day < cut_) return (*block_)[minute_of_day];
        return minute_of_day == cut_ ? partial_ : kEmpty;
    }

private:
    static const Aggregate kEmpty;
    std::shared_ptr<const MinuteBlock> block_;
    std::size_t cut_ = 0;  // the first minute not over at upto_ms
    Aggregate partial_;    // minute cut_ up to upto_ms
};

}  // namespace qvn::terminal
