// Closed bars kept in wire layout, so a bar reply is mostly one contiguous
// slice of memory written as it is.
//
// Per source, two books each hold a run of whole days [lo, hi), all before
// the day the clock is in:
//
// - the minute book: M1 bars made from the ticks, and M2 … M30 summed from
//   them at the same time (each from the longest shorter one dividing it),
//   about 60 MiB a year of EURUSD;
// - the hour book: H1 bars made from the days' hour aggregates, H2 … D1
//   summed from them the same way, W1 and MN1 from the days, about 1 MiB a
//   year. The hour aggregates of a day are kept apart (Market::
//   complete_hours, 1.3 KiB a day), made once from the ticks, or with the
//   day's minutes: the minute book hands its new days to the hour book as
//   it grows. An hour book that was let go is made again from them without
//   reading a tick, at a cost in proportion to the bars it holds.
//
// Summing costs a few percent of reading the ticks and makes the first
// request of a timeframe as quick as the next one. As the clock passes
// midnight, or a request reaches further back, a book grows by the missing
// days only; new days at the end are appended in place, behind what
// requests are reading. The books of one kind stay within a budget: the
// least recently used go first, and a book larger than all of it is made
// for its request alone. A book is grown by one request at a time: another
// request for the same source and kind waits for it (and then uses it, or
// grows it further), while other requests go on.
//
// A bar is in a series only when its whole period lies in the book's days,
// so it is exactly what the ticks give once the period is over; the bars
// still forming are built from the ticks per request (see bars.hpp).
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/enums.hpp"
#include "terminal/market/source.hpp"

namespace qvn::terminal {

class Market;

// The closed bars of one timeframe with ticks, oldest first, of every
// period starting in [cover_lo, cover_hi) (minutes).
struct BarSeries {
    std::span<const wire::BarRecord> bars;
    std::int64_t cover_lo = 0;
    std::int64_t cover_hi = 0;
    std::int64_t lo_day = 0;  // the book's first day
    bool from_start = false;  // the book reaches the source's first day
    // Owns the memory of `bars`; later bars may be appended behind them.
    std::shared_ptr<const std::vector<wire::BarRecord>> storage;

    // The index of the first bar opening at or after `minute`.
    std::size_t lower(std::int64_t minute) const noexcept;
};

class BarBooks {
public:
    // Bytes the minute books and the hour books may hold, across sources.
    struct Budgets {
        std::size_t minutes = 0;
        std::size_t hours = 0;
    };

    // `market` owns the books and outlives them.
    BarBooks(Market& market, Budgets budgets);
    BarBooks(const BarBooks&) = delete;
    BarBooks& operator=(const BarBooks&) = delete;

    // The series of `tf` over a book that holds at least the days
    // [lo_day, the day of now_ms), clipped to the source's span, for a
    // request reading days [lo_day, hi_day). Null when the request lies
    // within the clock's day, or when getting there would make many more
    // days than it reads (a book far from the request): the caller then
    // builds its bars from the ticks.
    std::shared_ptr<const BarSeries> series(const PriceSource& s, Timeframe tf, std::int64_t lo_day,
                                            std::int64_t hi_day, std::int64_t now_ms);

    // The hour aggregates of a day a book of `s` holds, as Market::hours
    // gives them for a complete day; false when no book holds it.
    bool day_hours(const PriceSource& s, std::int64_t day, HourBlock& out);

    // Bytes the books of each kind hold now.
    Budgets held();

private:
    enum Kind : int { kMinutes = 0, kHours = 1 };
    static constexpr std::size_t kTracks = 11;  // timeframes of a kind, at most

    // One timeframe of a book: the storage its bars are appended to (by
    // the request growing the book only) and what requests read of it.
    struct Track {
        std::shared_ptr<std::vector<wire::BarRecord>> storage;
        std::shared_ptr<const BarSeries> series;
    };
    struct Book {
        std::int64_t lo = 0;
        std::int64_t hi = 0;
        std::array<Track, kTracks> tracks;  // in the order of the kind's timeframes
        std::uint64_t used = 0;
        std::size_t bytes = 0;
        bool made() const noexcept { return tracks[0].series != nullptr; }
    };
    struct Shelf {
        std::map<std::size_t, Book> books;  // by source index
        std::set<std::size_t> growing;      // sources whose book a request is making
        std::size_t budget = 0;
        std::size_t total = 0;
    };

    // Book grown to days [lo, hi) from `old` (empty or within them).
    Book grow(const PriceSource& s, Kind kind, const Book& old, std::int64_t lo, std::int64_t hi);
    // Appends the bars of the kind's first timeframe on days [lo, hi).
    void make_base(const PriceSource& s, Kind kind, std::int64_t lo, std::int64_t hi,
                   std::vector<wire::BarRecord>& out);
    void trim(Shelf& shelf, std::size_t keep);
    // The series of a track of the book of `s` on `shelf` when it holds `day`.
    std::shared_ptr<const BarSeries> holding(const Shelf& shelf, const PriceSource& s, std::size_t track,
                                             std::int64_t day) const;

    Market& market_;
    std::mutex mutex_;
    std::condition_variable grown_;  // signalled when a book's growing ends
    std::array<Shelf, 2> shelves_{};
    std::uint64_t clock_ = 0;
};

}  // namespace qvn::terminal
