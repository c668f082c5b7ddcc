// The ticks-ahead command of a stepped clock (902), the Terminal's own: a
// tick backtest's driver reads the ticks it will hand its strategy before
// the clock reaches them, so that it moves the clock only when it must.
//
// Request after the code: a wide symbol name, i64 from_ms, i64 to_ms, i32
// copy flags, as command 105 (ticks in a range) takes them. The reply is
// 105's too: the ticks of [from_ms, to_ms] (clipped to the symbol's first
// day and the market's end) that the flags select, oldest first, but not
// clipped to the clock. A Terminal whose clock is not stepped answers -7,
// so a live market never shows a tick before its time; more ticks than one
// response holds are refused with -3, an unknown symbol with -4.
#include <algorithm>
#include <optional>

#include "protocol/wire.hpp"
#include "terminal/market/ticks.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {

bool Terminal::on_ticks_ahead(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    if (!market_.clock().stepped()) return ex.status(cmd, wire::kUnsupportedFunction);
    std::u16string name;
    std::int64_t from_ms = 0;
    std::int64_t to_ms = 0;
    std::int32_t flags = 0;
    if (!in.wide(name) || !in.read(from_ms) || !in.read(to_ms) || !in.read(flags) || !in.done())
        return ex.status(cmd, wire::kInvalidParams);
    const std::optional<TickFilter> filter = tick_filter(flags);
    if (!filter.has_value() || name.size() > wire::kSymbolUnits) return ex.status(cmd, wire::kInvalidParams);
    const CatalogueEntry* e = catalogue_.find(name);
    const PriceSource* s = e != nullptr ? e->source : nullptr;
    if (s == nullptr) return ex.status(cmd, wire::kNotFound);

    TickSpan span;
    span.lo_ms = std::max(from_ms, s->first_ms());
    span.hi_ms = std::min(to_ms, Market::process_end_ms() - 1);
    const std::uint64_t n = s->count(span, *filter, max_records());
    if (n > max_records()) return ex.status(cmd, wire::kOutOfMemory);
    const auto reader = s->read(span, *filter);
    return ex.stream_records<wire::TickRecord>(
        cmd, n, [&reader](wire::TickRecord* out, std::size_t most) { return reader->fill(out, most); });
}

}  // namespace qvn::terminal
