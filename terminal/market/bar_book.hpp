// Closed bars kept in wire layout, so a bar reply is mostly one contiguous
// slice of memory written as it is.
//
// Per source, a book holds the minute bars of a run of whole days [lo, hi),
// all before the day the clock is in, made once from the ticks, and the bars
// of every other timeframe summed from them at the same time (each from the
// longest shorter one dividing it; weeks and months from the hours), which
// costs a few percent of reading the ticks and makes the first request of a
// timeframe as quick as the next one. As the clock passes midnight, or a request reaches
// further back, the book grows by the missing days only. Books of all
// sources together stay within a budget: the least recently used go first,
// and a book larger than all of it is made for its request alone. A book is
// made by one request at a time: another request for the same source waits
// for it (and then uses it, or grows it further), while requests for other
// sources go on.
//
// A bar is in a series only when its whole period lies in the book's days,
// so it is exactly what the ticks give once the period is over; the bars
// still forming are built from the ticks per request (see bars.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/enums.hpp"
#include "terminal/market/source.hpp"

namespace qvn::terminal {

// The closed bars of one timeframe with ticks, oldest first, of every
// period starting in [cover_lo, cover_hi) (minutes).
struct BarSeries {
    std::vector<wire::BarRecord> bars;
    std::int64_t cover_lo = 0;
    std::int64_t cover_hi = 0;
    std::int64_t lo_day = 0;  // the book's first day
    bool from_start = false;  // the book reaches the source's first day

    // The index of the first bar opening at or after `minute`.
    std::size_t lower(std::int64_t minute) const noexcept;
};

class BarBooks {
public:
    explicit BarBooks(std::size_t budget_bytes) : budget_(budget_bytes) {}
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

private:
    struct Book {
        std::int64_t lo = 0;
        std::int64_t hi = 0;
        std::shared_ptr<const BarSeries> m1;
        std::map<int, std::shared_ptr<const BarSeries>> series;  // by timeframe, every one
        std::uint64_t used = 0;
        std::size_t bytes = 0;
    };

    void trim(std::size_t keep);
    // Book grown to days [lo, hi) from `old` (empty or within them).
    static Book grow(const PriceSource& s, const Book& old, std::int64_t lo, std::int64_t hi);

public:
    // The hour bars of a day the book of `s` holds, as Market::hours gives
    // them for a complete day; false when the book does not hold it.
    bool day_hours(const PriceSource& s, std::int64_t day, HourBlock& out);

    std::size_t budget_;
    std::mutex mutex_;
    std::map<std::size_t, Book> books_;  // by source index
    std::set<std::size_t> growing_;      // sources whose book a request is making
    std::condition_variable grown_;      // signalled when one of them is done
    std::uint64_t clock_ = 0;
    std::size_t total_ = 0;
};

}  // namespace qvn::terminal
