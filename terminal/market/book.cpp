#include "terminal/market/book.hpp"

#include <algorithm>
#include <cmath>

#include "terminal/enums.hpp"
#include "terminal/market/noise.hpp"

namespace qvn::terminal {
namespace {

constexpr std::uint64_t kSaltBook = 0x626f6f6b;  // "book"

}  // namespace

std::vector<wire::BookRecord> make_book(const PriceSource& s, const wire::TickRecord& quote) {
    std::vector<wire::BookRecord> out;
    if (quote.bid <= 0 || quote.ask <= 0) return out;
    const Instrument& ins = s.instrument();
    // Back to whole price ticks, the unit the process quotes in.
    const double tick = s.price(1);
    const std::int64_t bid = std::llround(quote.bid / tick);
    const std::int64_t ask = std::max<std::int64_t>(bid + 1, std::llround(quote.ask / tick));
    const std::int64_t step = std::max<std::int64_t>(1, (ask - bid) / 2);
    // Sizes in lots of the symbol, never below its minimum volume.
    const double base_lots = std::max(1.0, ins.volume_min * 10.0);
    const auto level = [&](BookType type, std::int64_t price, std::size_t depth) {
        if (price <= 0) return;  // a ladder below zero ends at the last positive price
        const std::uint64_t h = hash_key(s.seed() ^ kSaltBook, static_cast<std::uint64_t>(quote.time_msc),
                                         static_cast<std::uint64_t>(type) * 64 + depth);
        const double size = base_lots * (1.0 + static_cast<double>(depth)) * (0.5 + unit_uniform(h));
        const auto volume = static_cast<std::uint64_t>(std::max(1.0, std::round(size)));
        wire::BookRecord r{};
        r.type = static_cast<std::uint32_t>(type);
        r.price = s.price(price);
        r.volume = volume;
        r.volume_dbl = static_cast<double>(volume);
        out.push_back(r);
    };
    out.reserve(2 * kBookLevels);
    for (std::size_t d = kBookLevels; d-- > 0;) level(BookType::Sell, ask + static_cast<std::int64_t>(d) * step, d);
    for (std::size_t d = 0; d < kBookLevels; ++d) level(BookType::Buy, bid - static_cast<std::int64_t>(d) * step, d);
    return out;
}

}  // namespace qvn::terminal
