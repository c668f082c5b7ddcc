#include "terminal/market/bar_book.hpp"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "terminal/market/bars.hpp"

namespace qvn::terminal {
namespace {

// Days a book may make beyond those a request reads: a little, so the
// clock's next day or a request just before the book extends it.
constexpr std::int64_t kSpareDays = 31;

// Summed with the minutes, shortest first: each divides a day, so the bars
// of new days never merge with kept ones.
constexpr Timeframe kEager[] = {Timeframe::M2,  Timeframe::M3,  Timeframe::M4, Timeframe::M5,  Timeframe::M6,
                                Timeframe::M10, Timeframe::M12, Timeframe::M15, Timeframe::M20, Timeframe::M30,
                                Timeframe::H1,  Timeframe::H2,  Timeframe::H3,  Timeframe::H4,  Timeframe::H6,
                                Timeframe::H8,  Timeframe::H12, Timeframe::D1};
// Summed from the hours of the whole book when it grows: a week or a month
// of new days may merge with kept ones.
constexpr Timeframe kLong[] = {Timeframe::W1, Timeframe::MN1};

// The longest of M1 and the eager timeframes shorter than `tf` that
// divides it: the fewest bars to sum `tf` from.
Timeframe base_of(Timeframe tf) noexcept {
    Timeframe base = Timeframe::M1;
    for (const Timeframe k : kEager)
        if (static_cast<std::int64_t>(k) < static_cast<std::int64_t>(tf) &&
            static_cast<std::int64_t>(tf) % static_cast<std::int64_t>(k) == 0)
            base = k;
    return base;
}

Aggregate aggregate_of(const wire::BarRecord& r) noexcept {
    Aggregate a;
    a.open = r.open;
    a.high = r.high;
    a.low = r.low;
    a.close = r.close;
    a.ticks = r.tick_volume;
    a.spread = r.spread;
    a.volume = r.real_volume;
    return a;
}

// Appends the minute bars of days [lo, hi).
void make_minutes(const PriceSource& s, std::int64_t lo, std::int64_t hi, std::vector<wire::BarRecord>& out) {
    auto block = std::make_unique<MinuteBlock>();
    for (std::int64_t day = lo; day < hi; ++day) {
        s.day_minutes(day, *block);
        for (std::size_t m = 0; m < kMinutesPerDay; ++m) {
            const Aggregate& a = (*block)[m];
            if (a.ticks != 0) out.push_back(bar_record(day * kMinutesPerDay + static_cast<std::int64_t>(m), a));
        }
    }
}

// Appends the bars of `tf` summed from `in` (bars of a shorter timeframe),
// keeping only periods starting in [lo, hi).
void sum_bars(const wire::BarRecord* first, const wire::BarRecord* last, Timeframe tf, std::int64_t lo,
              std::int64_t hi, std::vector<wire::BarRecord>& out) {
    std::int64_t open = 0;
    Aggregate a;
    // Periods of a fixed length (a day or less) without the calendar.
    const std::int64_t fixed = static_cast<std::int64_t>(tf) <= kMinutesPerDay ? static_cast<std::int64_t>(tf) : 0;
    for (const wire::BarRecord* r = first; r != last; ++r) {
        const std::int64_t time = r->time;
        const std::int64_t minute = floor_div(time, 60);
        const std::int64_t p = fixed != 0 ? floor_div(minute, fixed) * fixed : period_start(tf, minute);
        if (p < lo) continue;
        if (p >= hi) break;
        if (a.ticks != 0 && p != open) {
            out.push_back(bar_record(open, a));
            a = Aggregate{};
        }
        open = p;
        a.add(aggregate_of(*r));
    }
    if (a.ticks != 0) out.push_back(bar_record(open, a));
}

std::size_t bytes_of(const BarSeries& s) noexcept { return s.bars.capacity() * sizeof(wire::BarRecord); }

// The periods of `tf` a book of days [lo, hi) holds whole. A book from the
// source's first day holds a period opening before it: no ticks precede it.
BarSeries cover(const PriceSource& s, Timeframe tf, std::int64_t lo, std::int64_t hi) {
    BarSeries out;
    out.lo_day = lo;
    out.from_start = lo <= s.first_day();
    out.cover_lo = period_start(tf, lo * kMinutesPerDay);
    if (out.cover_lo < lo * kMinutesPerDay && !out.from_start) out.cover_lo = period_next(tf, out.cover_lo);
    out.cover_hi = period_start(tf, hi * kMinutesPerDay);
    return out;
}

}  // namespace

std::size_t BarSeries::lower(std::int64_t minute) const noexcept {
    const auto it = std::partition_point(bars.begin(), bars.end(), [minute](const wire::BarRecord& r) {
        const std::int64_t time = r.time;
        return time < minute * 60;
    });
    return static_cast<std::size_t>(it - bars.begin());
}

BarBooks::Book BarBooks::grow(const PriceSource& s, const Book& old, std::int64_t lo, std::int64_t hi) {
    Book book;
    book.lo = lo;
    book.hi = hi;
    auto m1 = std::make_shared<BarSeries>(cover(s, Timeframe::M1, lo, hi));
    std::size_t before = 0;
    std::size_t after = 0;
    if (old.m1) {
        make_minutes(s, lo, old.lo, m1->bars);
        before = m1->bars.size();
        m1->bars.insert(m1->bars.end(), old.m1->bars.begin(), old.m1->bars.end());
        after = m1->bars.size();
    }
    make_minutes(s, old.m1 ? old.hi : lo, hi, m1->bars);
    m1->bars.shrink_to_fit();
    book.bytes = bytes_of(*m1);
    // Made with the minutes: the new days summed, the old days copied.
    const wire::BarRecord* base = m1->bars.data();
    const std::pair<std::size_t, std::size_t> parts[] = {{0, before}, {after, m1->bars.size()}};
    std::map<int, std::vector<wire::BarRecord>> made[2];
    for (int part = 0; part < 2; ++part) {
        const auto [from, to] = parts[part];
        for (const Timeframe tf : kEager) {
            const Timeframe b = base_of(tf);
            const wire::BarRecord* first = base + from;
            const wire::BarRecord* last = base + to;
            if (b != Timeframe::M1) {
                const std::vector<wire::BarRecord>& v = made[part].at(static_cast<int>(b));
                first = v.data();
                last = v.data() + v.size();
            }
            std::vector<wire::BarRecord>& out = made[part][static_cast<int>(tf)];
            sum_bars(first, last, tf, period_start(tf, lo * kMinutesPerDay), period_start(tf, hi * kMinutesPerDay), out);
        }
    }
    for (const Timeframe tf : kEager) {
        auto series = std::make_shared<BarSeries>(cover(s, tf, lo, hi));
        const std::vector<wire::BarRecord>& head = made[0].at(static_cast<int>(tf));
        std::vector<wire::BarRecord>& tail = made[1].at(static_cast<int>(tf));
        if (old.m1) {
            const BarSeries& kept = *old.series.at(static_cast<int>(tf));
            series->bars.reserve(head.size() + kept.bars.size() + tail.size());
            series->bars.insert(series->bars.end(), head.begin(), head.end());
            series->bars.insert(series->bars.end(), kept.bars.begin(), kept.bars.end());
            series->bars.insert(series->bars.end(), tail.begin(), tail.end());
        } else {
            series->bars = std::move(tail);  // a new book: all days are new
            series->bars.shrink_to_fit();
        }
        book.bytes += bytes_of(*series);
        book.series.emplace(static_cast<int>(tf), std::move(series));
    }
    const BarSeries& hours = *book.series.at(static_cast<int>(Timeframe::H1));
    for (const Timeframe tf : kLong) {
        auto series = std::make_shared<BarSeries>(cover(s, tf, lo, hi));
        sum_bars(hours.bars.data(), hours.bars.data() + hours.bars.size(), tf, series->cover_lo, series->cover_hi,
                 series->bars);
        book.bytes += bytes_of(*series);
        book.series.emplace(static_cast<int>(tf), std::move(series));
    }
    book.series.emplace(static_cast<int>(Timeframe::M1), m1);
    book.m1 = std::move(m1);
    return book;
}

std::shared_ptr<const BarSeries> BarBooks::series(const PriceSource& s, Timeframe tf, std::int64_t lo_day,
                                                  std::int64_t hi_day, std::int64_t now_ms) {
    const std::int64_t day = std::clamp(floor_div(now_ms, kMsPerDay), s.first_day(), s.end_day());
    lo_day = std::clamp(lo_day, s.first_day(), day);
    hi_day = std::clamp(hi_day, lo_day, day);
    if (lo_day >= day) return nullptr;

    std::unique_lock lock(mutex_);
    Book book;
    for (;;) {
        book = Book{};
        if (const auto it = books_.find(s.index()); it != books_.end()) {
            it->second.used = ++clock_;
            book = it->second;
        }
        if (book.m1 && book.lo <= lo_day && book.hi >= day) return book.series.at(static_cast<int>(tf));
        // Another request is making this source's book: wait for it and
        // look again, rather than make the same days twice.
        if (!growing_.contains(s.index())) break;
        grown_.wait(lock);
    }
    // Grow the book to the request and the clock, making only the missing
    // days; refuse when the gap dwarfs the request.
    const bool had = book.m1 != nullptr;
    const std::int64_t lo = had ? std::min(book.lo, lo_day) : lo_day;
    const std::int64_t hi = had ? std::max(book.hi, day) : day;
    const std::int64_t made = (hi - lo) - (had ? book.hi - book.lo : 0);
    if (made > 2 * (hi_day - lo_day) + kSpareDays) return nullptr;
    // The mark comes off however the making ends, so no request waits for
    // a book that will not come.
    growing_.insert(s.index());
    struct Done {
        BarBooks& books;
        std::unique_lock<std::mutex>& lock;
        std::size_t source;
        ~Done() {
            if (!lock.owns_lock()) lock.lock();
            books.growing_.erase(source);
            books.grown_.notify_all();
        }
    } done{*this, lock, s.index()};
    lock.unlock();
    book = grow(s, book, lo, hi);
    lock.lock();
    // A book larger than the whole budget serves this request only.
    if (book.bytes > budget_) return book.series.at(static_cast<int>(tf));
    Book& slot = books_[s.index()];
    total_ = total_ - slot.bytes + book.bytes;
    slot = book;
    slot.used = ++clock_;
    trim(s.index());
    return book.series.at(static_cast<int>(tf));
}

bool BarBooks::day_hours(const PriceSource& s, std::int64_t day, HourBlock& out) {
    std::shared_ptr<const BarSeries> h1;
    {
        std::lock_guard lock(mutex_);
        const auto it = books_.find(s.index());
        if (it == books_.end() || day < it->second.lo || day >= it->second.hi) return false;
        h1 = it->second.series.at(static_cast<int>(Timeframe::H1));
    }
    out = HourBlock{};
    for (std::size_t i = h1->lower(day * kMinutesPerDay); i < h1->bars.size(); ++i) {
        const std::int64_t time = h1->bars[i].time;
        const std::int64_t hour = floor_div(time, 3600) - day * 24;
        if (hour >= 24) break;
        out[static_cast<std::size_t>(hour)] = aggregate_of(h1->bars[i]);
    }
    return true;
}

void BarBooks::trim(std::size_t keep) {
    while (total_ > budget_) {
        auto oldest = books_.end();
        for (auto it = books_.begin(); it != books_.end(); ++it)
            if (it->first != keep && (oldest == books_.end() || it->second.used < oldest->second.used)) oldest = it;
        if (oldest == books_.end()) return;
        total_ -= oldest->second.bytes;
        books_.erase(oldest);
    }
}

}  // namespace qvn::terminal
