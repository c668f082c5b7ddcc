// Imported ticks against a plain model of what they must serve: the file
// check on the rules the program's tests leave out, then reads, counts,
// latest and next ticks, and the bounds on quotes the walk skips by, over
// random spans. (Bars from imported ticks are checked through the program.)
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "protocol/wire.hpp"
#include "terminal/enums.hpp"
#include "terminal/market/clock.hpp"
#include "terminal/market/imported_source.hpp"

namespace {

namespace term = qvn::terminal;
namespace wire = qvn::wire;

constexpr std::int64_t kT0 = 1767571200000;  // Monday 2026-01-05 00:00 UTC

// Random ticks over three days, flags and whole volumes derived as the
// rules say; a few share a millisecond, some are deals.
std::vector<wire::TickRecord> make_ticks(std::mt19937_64& rng) {
    std::vector<wire::TickRecord> out;
    std::int64_t ms = kT0 + 5000;
    std::int64_t bid = 110000;
    double last_price = 0;
    while (ms < kT0 + 3 * term::kMsPerDay) {
        wire::TickRecord t{};
        bid += static_cast<std::int64_t>(rng() % 7) - 3;
        const std::int64_t ask = bid + 1 + static_cast<std::int64_t>(rng() % 20);
        t.time_msc = ms;
        t.time = ms / 1000;
        t.bid = static_cast<double>(bid) / 1e5;
        t.ask = static_cast<double>(ask) / 1e5;
        const bool deal = rng() % 4 == 0;
        t.last = deal ? t.bid : 0.0;
        t.volume_real = deal ? static_cast<double>(rng() % 50) / 10.0 : 0.0;
        const double size = t.volume_real;
        t.volume = size > 0 ? std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::floor(size + 0.5))) : 0;
        std::uint32_t flags = 0;
        if (out.empty() || t.bid != out.back().bid) flags |= term::kTickBid;
        if (out.empty() || t.ask != out.back().ask) flags |= term::kTickAsk;
        if (size > 0) flags |= term::kTickVolume;
        if (t.last != 0 && t.last != last_price) flags |= term::kTickLast;
        if (t.last != 0) last_price = t.last;
        t.flags = flags;
        out.push_back(t);
        ms += static_cast<std::int64_t>(rng() % 3 == 0 ? 0 : rng() % 40000);
    }
    return out;
}

std::string file_of(const std::vector<wire::TickRecord>& ticks) {
    std::string bytes(term::kTickFileHeader, '\0');
    const auto put = [&bytes](std::size_t at, auto value) { std::memcpy(bytes.data() + at, &value, sizeof value); };
    std::memcpy(bytes.data(), "QVNTICKS", 8);
    put(8, std::uint32_t{1});  // version
    put(12, static_cast<std::uint32_t>(sizeof(wire::TickRecord)));
    put(16, static_cast<std::uint64_t>(ticks.size()));
    put(24, ticks.front().time_msc);
    put(32, ticks.back().time_msc);
    bytes.append(reinterpret_cast<const char*>(ticks.data()), ticks.size() * sizeof(wire::TickRecord));
    return bytes;
}

void test_file_check(const std::vector<wire::TickRecord>& ticks) {
    std::vector<wire::TickRecord> read;
    std::string error;
    CHECK(term::check_ticks(file_of(ticks), read, error));
    CHECK(read.size() == ticks.size() && std::memcmp(read.data(), ticks.data(), ticks.size() * 60) == 0);
    // Each fault is named at its record, counted from 1.
    struct Fault {
        void (*spoil)(wire::TickRecord&);
        const char* says;
    };
    const Fault faults[] = {
        {[](wire::TickRecord& t) { t.ask = -1.0; }, "record 8: bid "},
        {[](wire::TickRecord& t) { t.time += 1; }, "record 8: time "},
        {[](wire::TickRecord& t) { t.time_msc = 0; }, "record 8: time_msc 0 lies outside"},
        {[](wire::TickRecord& t) { t.volume = t.volume + 1; }, "record 8: volume "},
        {[](wire::TickRecord& t) { t.last = std::nan(""); }, "record 8: last nan must be 0 or more"},
    };
    for (const Fault& f : faults) {
        std::vector<wire::TickRecord> bad = ticks;
        f.spoil(bad[7]);
        CHECK(!term::check_ticks(file_of(bad), read, error) && error.rfind(f.says, 0) == 0 && read.empty());
    }
    std::string cut = file_of(ticks);
    cut.pop_back();
    CHECK(!term::check_ticks(cut, read, error) && error.find("and a part of one") != std::string::npos);
}

void test_served(const std::vector<wire::TickRecord>& ticks, std::mt19937_64& rng) {
    auto terms = std::make_unique<term::ImportedTerms>();
    terms->name = terms->description = "MYEUR";
    terms->terms = *term::find_symbol(u"EURUSD");
    terms->terms.name = terms->name;
    const term::ImportedSource s(std::move(terms), u"MYEUR", u"MYEUR", ticks);
    const term::TickFilter filters[] = {{true, true}, {true, false}, {false, true}};
    for (int round = 0; round < 200; ++round) {
        const std::int64_t lo = kT0 + static_cast<std::int64_t>(rng() % (3 * term::kMsPerDay));
        const std::int64_t hi = lo + static_cast<std::int64_t>(rng() % (round % 2 ? 600000 : term::kMsPerDay));
        for (const term::TickFilter f : filters) {
            std::vector<wire::TickRecord> want, got(ticks.size());
            for (const wire::TickRecord& t : ticks)
                if (t.time_msc >= lo && t.time_msc <= hi && term::selected(t, f)) want.push_back(t);
            const std::size_t n = s.read(term::TickSpan{lo, hi}, f)->fill(got.data(), got.size());
            CHECK(n == want.size() && (n == 0 || std::memcmp(got.data(), want.data(), n * 60) == 0));
            CHECK(s.count(term::TickSpan{lo, hi}, f, want.size() + 5) == want.size());
        }
        // Each quote of the span lies in the stretch of its block (in time
        // order, inside the span; blocks may share a millisecond), within
        // its bounds.
        std::vector<term::QuoteBounds> stretches;
        s.bound_quotes(term::TickSpan{lo, hi}, [&stretches](const term::QuoteBounds& b) {
            stretches.push_back(b);
            return true;
        });
        std::int64_t after = lo;
        for (const term::QuoteBounds& b : stretches) {
            CHECK(b.span.lo_ms >= after && b.span.lo_ms <= b.span.hi_ms && b.span.hi_ms <= hi);
            after = b.span.hi_ms;
        }
        std::size_t held = 0, quotes = 0;
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            const wire::TickRecord& t = ticks[i];
            if (t.time_msc < lo || t.time_msc > hi || !term::selected(t, term::TickFilter{true, false})) continue;
            ++quotes;
            const double bid = t.bid, ask = t.ask;
            const std::size_t block = i / term::ImportedSource::kQuoteBlock;
            const std::size_t first = s.lower(lo) / term::ImportedSource::kQuoteBlock;
            if (block - first < stretches.size()) {
                const term::QuoteBounds& b = stretches[block - first];
                held += b.span.lo_ms <= t.time_msc && t.time_msc <= b.span.hi_ms && b.bid_lo <= bid &&
                        bid <= b.bid_hi && b.ask_lo <= ask && ask <= b.ask_hi;
            }
        }
        CHECK(held == quotes);
        const auto latest = s.latest(lo);
        const auto it = std::upper_bound(ticks.begin(), ticks.end(), lo,
                                         [](std::int64_t v, const wire::TickRecord& t) { return v < t.time_msc; });
        CHECK(latest.has_value() == (it != ticks.begin()));
        if (latest) CHECK(std::memcmp(&*latest, &*(it - 1), 60) == 0);
        const auto next = s.next_after(lo);
        CHECK(next.has_value() == (it != ticks.end()));
        if (next) CHECK(*next == it->time_msc);
    }
}

}  // namespace

int main() {
    std::mt19937_64 rng(17);
    const std::vector<wire::TickRecord> ticks = make_ticks(rng);
    test_file_check(ticks);
    test_served(ticks, rng);
    return qvn::test::finish("test_terminal_imported");
}
