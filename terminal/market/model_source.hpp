// The simulated market as a price source: a SymbolModel's ticks, made on
// demand from day plans that all models share through one small cache.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "terminal/market/model.hpp"
#include "terminal/market/source.hpp"

namespace qvn::terminal {

// Room for one minute's ticks: in the object for a usual minute (a stepped
// clock makes one or two a step, and should not allocate for them), on the
// heap for a busy one.
class MinuteRoom {
public:
    RawTick* get(std::size_t count) {
        if (count <= kInline) return inline_;
        if (count > heap_count_) {
            heap_ = std::make_unique_for_overwrite<RawTick[]>(count);
            heap_count_ = count;
        }
        return heap_.get();
    }

private:
    static constexpr std::size_t kInline = 128;
    RawTick inline_[kInline];
    std::unique_ptr<RawTick[]> heap_;
    std::size_t heap_count_ = 0;
};

// The most recently used day plans of every model. A plan is a pure
// function of its model and day, so two threads racing only repeat work.
class PlanCache {
public:
    std::shared_ptr<const DayPlan> get(const SymbolModel& model, std::int64_t day);

private:
    struct Key {
        const SymbolModel* model;
        std::int64_t day;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept {
            return std::hash<std::int64_t>()(k.day) ^ std::hash<const void*>()(k.model);
        }
    };

    std::mutex mutex_;
    std::list<std::pair<Key, std::shared_ptr<const DayPlan>>> lru_;
    std::unordered_map<Key, decltype(lru_)::iterator, KeyHash> index_;
};

struct DayCounts {
    std::uint32_t quotes = 0;
    std::uint32_t deals = 0;
};

class ModelSource final : public PriceSource {
public:
    // Serves the process from `first_day` (the history start) on.
    ModelSource(const Instrument& ins, PlanCache& plans, std::int64_t first_day);

    const SymbolModel& model() const noexcept { return model_; }
    std::shared_ptr<const DayPlan> plan(std::int64_t day) const { return plans_.get(model_, day); }
    DayCounts day_counts(std::int64_t day) const;

    bool open_at(std::int64_t ms) const noexcept override;
    std::unique_ptr<TickReader> read(TickSpan span, TickFilter filter) const override;
    std::uint64_t count(TickSpan span, TickFilter filter, std::uint64_t limit) const override;
    std::optional<wire::TickRecord> latest(std::int64_t at_ms) const override;
    std::optional<std::int64_t> next_after(std::int64_t ms) const override;
    bool any_in(std::int64_t lo_ms, std::int64_t hi_ms) const override;
    void day_minutes(std::int64_t day, MinuteBlock& out) const override;
    Aggregate minute_upto(std::int64_t minute, std::int64_t upto_ms) const override;
    // Minute by minute, from the day plans alone.
    void bound_quotes(TickSpan span, const QuoteBoundsVisitor& visit) const override;

    // The ticks of minute `m` of `plan` into `out` (room for the minute's
    // plan.minutes[m].ticks), as SymbolModel::minute_ticks makes them; the
    // last few minutes made are kept, since a stepped clock asks for the
    // same minute several times (the latest quote at the clock reads the
    // minute before it for the carried quote, then the clock's own minute,
    // which the next step reads again as its minute before).
    int minute_ticks(const DayPlan& plan, int m, RawTick* out) const;

private:
    struct MinuteMemo {
        std::int64_t minute = -1;  // process minute; -1 when empty
        int count = 0;
        std::unique_ptr<RawTick[]> ticks;
        std::size_t room = 0;
    };
    static constexpr std::size_t kMemoMinutes = 2;

    SymbolModel model_;
    PlanCache& plans_;
    // Packed day counts by process day; 0 = not yet known.
    std::unique_ptr<std::atomic<std::uint64_t>[]> counts_;
    mutable std::mutex memo_mutex_;
    mutable std::array<MinuteMemo, kMemoMinutes> memo_;
    mutable std::size_t memo_next_ = 0;  // the slot the next minute made replaces
};

}  // namespace qvn::terminal
