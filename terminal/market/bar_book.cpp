#include "terminal/market/bar_book.hpp"

#include <algorithm>
#include <utility>

#include "terminal/market/bars.hpp"
#include "terminal/market/market.hpp"

namespace qvn::terminal {
namespace {

// Days a book may make beyond those a request reads: a little, so the
// clock's next day or a request just before the book extends it.
constexpr std::int64_t kSpareDays = 31;

// The timeframes of each kind of book, the base first, each summed from the
// longest earlier one dividing it (W1 and MN1 from D1). Every one but those
// two divides a day, so the bars of new days never merge with kept ones.
constexpr Timeframe kMinuteFrames[] = {Timeframe::M1,  Timeframe::M2,  Timeframe::M3,  Timeframe::M4,
                                       Timeframe::M5,  Timeframe::M6,  Timeframe::M10, Timeframe::M12,
                                       Timeframe::M15, Timeframe::M20, Timeframe::M30};
constexpr Timeframe kHourFrames[] = {Timeframe::H1, Timeframe::H2,  Timeframe::H3, Timeframe::H4, Timeframe::H6,
                                     Timeframe::H8, Timeframe::H12, Timeframe::D1, Timeframe::W1, Timeframe::MN1};
constexpr std::size_t kM30Track = 10;
constexpr std::size_t kH1Track = 0;
constexpr std::size_t kD1Track = 7;

constexpr std::int64_t minutes_of(Timeframe tf) noexcept { return static_cast<std::int64_t>(tf); }

std::span<const Timeframe> frames_of(int kind) noexcept {
    return kind == 0 ? std::span<const Timeframe>(kMinuteFrames) : std::span<const Timeframe>(kHourFrames);
}

int kind_of(Timeframe tf) noexcept { return minutes_of(tf) < 60 ? 0 : 1; }

std::size_t track_of(Timeframe tf) noexcept {
    const std::span<const Timeframe> frames = frames_of(kind_of(tf));
    return static_cast<std::size_t>(std::find(frames.begin(), frames.end(), tf) - frames.begin());
}

bool divides_day(Timeframe tf) noexcept { return minutes_of(tf) <= kMinutesPerDay; }

// The track a timeframe's bars are summed from: the longest earlier one of
// its kind that divides it.
std::size_t base_of(std::span<const Timeframe> frames, std::size_t track) noexcept {
    if (!divides_day(frames[track])) return kD1Track;
    std::size_t base = 0;
    for (std::size_t i = 1; i < track; ++i)
        if (minutes_of(frames[track]) % minutes_of(frames[i]) == 0) base = i;
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

// Appends the bars of `tf` summed from `in` (bars of a shorter timeframe),
// keeping only periods starting in [lo, hi).
void sum_bars(std::span<const wire::BarRecord> in, Timeframe tf, std::int64_t lo, std::int64_t hi,
              std::vector<wire::BarRecord>& out) {
    std::int64_t open = 0;
    Aggregate a;
    // Periods of a fixed length (a day or less) without the calendar.
    const std::int64_t fixed = divides_day(tf) ? minutes_of(tf) : 0;
    for (const wire::BarRecord& r : in) {
        const std::int64_t time = r.time;
        const std::int64_t minute = floor_div(time, 60);
        const std::int64_t p = fixed != 0 ? floor_div(minute, fixed) * fixed : period_start(tf, minute);
        if (p < lo) continue;
        if (p >= hi) break;
        if (a.ticks != 0 && p != open) {
            out.push_back(bar_record(open, a));
            a = Aggregate{};
        }
        open = p;
        a.add(aggregate_of(r));
    }
    if (a.ticks != 0) out.push_back(bar_record(open, a));
}

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

// `head`, then the old series' bars, then `tail`. Appended in place when
// nothing comes before the old bars and their storage has room: only the
// request growing a book writes to it, and only behind every bar a
// published series reads. Else copied into new storage, with room for a
// few more weeks of days.
std::shared_ptr<std::vector<wire::BarRecord>> joined(const BarSeries* old,
                                                     const std::shared_ptr<std::vector<wire::BarRecord>>& storage,
                                                     const std::vector<wire::BarRecord>& head,
                                                     const std::vector<wire::BarRecord>& tail) {
    const std::span<const wire::BarRecord> kept = old != nullptr ? old->bars : std::span<const wire::BarRecord>();
    // A book made for its request alone may have appended behind the
    // published series already: then the storage is not the series' end.
    if (old != nullptr && head.empty() && storage->size() == kept.size() &&
        storage->capacity() - storage->size() >= tail.size()) {
        for (const wire::BarRecord& r : tail) storage->push_back(r);
        return storage;
    }
    auto out = std::make_shared<std::vector<wire::BarRecord>>();
    const std::size_t n = head.size() + kept.size() + tail.size();
    out->reserve(n + n / 16 + 64);
    out->insert(out->end(), head.begin(), head.end());
    out->insert(out->end(), kept.begin(), kept.end());
    out->insert(out->end(), tail.begin(), tail.end());
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

BarBooks::BarBooks(Market& market, Budgets budgets) : market_(market) {
    shelves_[kMinutes].budget = budgets.minutes;
    shelves_[kHours].budget = budgets.hours;
}

void BarBooks::make_base(const PriceSource& s, Kind kind, std::int64_t lo, std::int64_t hi,
                         std::vector<wire::BarRecord>& out) {
    if (kind == kHours) {
        for (std::int64_t day = lo; day < hi; ++day) {
            const HourBlock hours = market_.complete_hours(s, day);
            for (std::size_t h = 0; h < hours.size(); ++h)
                if (hours[h].ticks != 0)
                    out.push_back(bar_record(day * kMinutesPerDay + static_cast<std::int64_t>(h) * 60, hours[h]));
        }
        return;
    }
    auto block = std::make_unique<MinuteBlock>();
    for (std::int64_t day = lo; day < hi; ++day) {
        market_.read_day(s, day, *block);
        market_.keep_hours(s, day, *block);
        for (std::size_t m = 0; m < kMinutesPerDay; ++m) {
            const Aggregate& a = (*block)[m];
            if (a.ticks != 0) out.push_back(bar_record(day * kMinutesPerDay + static_cast<std::int64_t>(m), a));
        }
    }
}

BarBooks::Book BarBooks::grow(const PriceSource& s, Kind kind, const Book& old, std::int64_t lo, std::int64_t hi) {
    const std::span<const Timeframe> frames = frames_of(kind);
    const bool had = old.made();
    // New days before the old ones, [lo, head_hi), and after them, [tail_lo, hi).
    const std::int64_t head_hi = had ? old.lo : lo;
    const std::int64_t tail_lo = had ? old.hi : lo;
    std::array<std::vector<wire::BarRecord>, kTracks> head, tail;
    make_base(s, kind, lo, head_hi, head[0]);
    make_base(s, kind, tail_lo, hi, tail[0]);

    Book book;
    book.lo = lo;
    book.hi = hi;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Timeframe tf = frames[i];
        const Track* kept = had ? &old.tracks[i] : nullptr;
        auto series = std::make_shared<BarSeries>(cover(s, tf, lo, hi));
        if (divides_day(tf)) {
            if (i > 0) {
                const std::size_t b = base_of(frames, i);
                sum_bars(head[b], tf, lo * kMinutesPerDay, head_hi * kMinutesPerDay, head[i]);
                sum_bars(tail[b], tf, tail_lo * kMinutesPerDay, hi * kMinutesPerDay, tail[i]);
            }
        } else {
            // Weeks and months of new days may merge with kept days: summed
            // from the days, the new periods only when the book's start
            // leaves the old ones as they were.
            const BarSeries& days = *book.tracks[kD1Track].series;
            const std::int64_t from =
                kept != nullptr && kept->series->cover_lo == series->cover_lo ? kept->series->cover_hi : series->cover_lo;
            if (from == series->cover_lo) kept = nullptr;
            sum_bars(days.bars.subspan(days.lower(from)), tf, from, series->cover_hi, tail[i]);
        }
        Track& track = book.tracks[i];
        track.storage = joined(kept != nullptr ? kept->series.get() : nullptr,
                               kept != nullptr ? kept->storage : nullptr, head[i], tail[i]);
        series->bars = std::span<const wire::BarRecord>(track.storage->data(), track.storage->size());
        series->storage = track.storage;
        track.series = std::move(series);
        book.bytes += track.storage->capacity() * sizeof(wire::BarRecord);
    }
    return book;
}

std::shared_ptr<const BarSeries> BarBooks::series(const PriceSource& s, Timeframe tf, std::int64_t lo_day,
                                                  std::int64_t hi_day, std::int64_t now_ms) {
    const std::int64_t day = std::clamp(floor_div(now_ms, kMsPerDay), s.first_day(), s.end_day());
    lo_day = std::clamp(lo_day, s.first_day(), day);
    hi_day = std::clamp(hi_day, lo_day, day);
    if (lo_day >= day) return nullptr;
    const auto kind = static_cast<Kind>(kind_of(tf));
    const std::size_t track = track_of(tf);

    std::unique_lock lock(mutex_);
    Shelf& shelf = shelves_[kind];
    Book book;
    for (;;) {
        book = Book{};
        if (const auto it = shelf.books.find(s.index()); it != shelf.books.end()) {
            it->second.used = ++clock_;
            book = it->second;
        }
        if (book.made() && book.lo <= lo_day && book.hi >= day) return book.tracks[track].series;
        // Another request is making this book: wait for it and look again,
        // rather than make the same days twice.
        if (!shelf.growing.contains(s.index())) break;
        grown_.wait(lock);
    }
    // Grow the book to the request and the clock, making only the missing
    // days; refuse when the gap dwarfs the request.
    const bool had = book.made();
    const std::int64_t lo = had ? std::min(book.lo, lo_day) : lo_day;
    const std::int64_t hi = had ? std::max(book.hi, day) : day;
    const std::int64_t made = (hi - lo) - (had ? book.hi - book.lo : 0);
    if (made > 2 * (hi_day - lo_day) + kSpareDays) return nullptr;
    // The mark comes off however the making ends, so no request waits for
    // a book that will not come.
    shelf.growing.insert(s.index());
    struct Done {
        BarBooks& books;
        Shelf& shelf;
        std::unique_lock<std::mutex>& lock;
        std::size_t source;
        ~Done() {
            if (!lock.owns_lock()) lock.lock();
            shelf.growing.erase(source);
            books.grown_.notify_all();
        }
    } done{*this, shelf, lock, s.index()};
    lock.unlock();
    book = grow(s, kind, book, lo, hi);
    lock.lock();
    // A book larger than the whole budget serves this request only.
    if (book.bytes > shelf.budget) return book.tracks[track].series;
    Book& slot = shelf.books[s.index()];
    shelf.total = shelf.total - slot.bytes + book.bytes;
    slot = book;
    slot.used = ++clock_;
    trim(shelf, s.index());
    if (kind == kMinutes) {
        // The new days' hours were kept with their minutes: the hour book
        // takes them now, for a few percent more, so that the first request
        // of a longer timeframe is as quick as the next one.
        lock.unlock();
        series(s, Timeframe::H1, lo, hi, now_ms);
    }
    return book.tracks[track].series;
}

std::shared_ptr<const BarSeries> BarBooks::holding(const Shelf& shelf, const PriceSource& s, std::size_t track,
                                                   std::int64_t day) const {
    const auto it = shelf.books.find(s.index());
    if (it == shelf.books.end() || day < it->second.lo || day >= it->second.hi) return nullptr;
    return it->second.tracks[track].series;
}

bool BarBooks::day_hours(const PriceSource& s, std::int64_t day, HourBlock& out) {
    std::shared_ptr<const BarSeries> series;
    {
        std::lock_guard lock(mutex_);
        series = holding(shelves_[kHours], s, kH1Track, day);
        if (!series) series = holding(shelves_[kMinutes], s, kM30Track, day);
    }
    if (!series) return false;
    out = HourBlock{};
    for (std::size_t i = series->lower(day * kMinutesPerDay); i < series->bars.size(); ++i) {
        const std::int64_t time = series->bars[i].time;
        const std::int64_t hour = floor_div(time, 3600) - day * 24;
        if (hour >= 24) break;
        out[static_cast<std::size_t>(hour)].add(aggregate_of(series->bars[i]));
    }
    return true;
}

BarBooks::Budgets BarBooks::held() {
    std::lock_guard lock(mutex_);
    return {shelves_[kMinutes].total, shelves_[kHours].total};
}

void BarBooks::trim(Shelf& shelf, std::size_t keep) {
    while (shelf.total > shelf.budget) {
        auto oldest = shelf.books.end();
        for (auto it = shelf.books.begin(); it != shelf.books.end(); ++it)
            if (it->first != keep && (oldest == shelf.books.end() || it->second.used < oldest->second.used))
                oldest = it;
        if (oldest == shelf.books.end()) return;
        shelf.total -= oldest->second.bytes;
        shelf.books.erase(oldest);
    }
}

}  // namespace qvn::terminal
