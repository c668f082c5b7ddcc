// Tick and bar history commands. Each request is checked in full (layout,
// then values, then the symbol), counted against the response limit, and
// only then streamed; a refused request costs no generation beyond the count.
#include <optional>

#include "protocol/wire.hpp"
#include "terminal/market/bars.hpp"
#include "terminal/terminal.hpp"
#include "terminal/market/ticks.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

// Result code for a symbol name: kSuccess with `out` set, kInvalidParams for
// a name longer than any symbol's, or kNotFound. A generated symbol serves
// the history of the source it shares.
std::int32_t lookup(const Catalogue& catalogue, const std::u16string& name, const PriceSource*& out) {
    out = nullptr;
    if (name.size() > wire::kSymbolUnits) return wire::kInvalidParams;
    const CatalogueEntry* e = catalogue.find(name);
    out = e != nullptr ? e->source : nullptr;
    return out != nullptr ? wire::kSuccess : wire::kNotFound;
}

// Reads a request of a symbol name and `fields`, all of it and nothing
// more, then checks the values (`valid`), then finds the symbol: kSuccess
// with `s` set, or the code to answer.
template <class Valid, class... Fields>
std::int32_t read_request(const Catalogue& catalogue, RequestReader& in, const PriceSource*& s, Valid&& valid,
                          Fields&... fields) {
    std::u16string name;
    if (!in.wide(name) || !(in.read(fields) && ...) || !in.done() || !valid()) return wire::kInvalidParams;
    return lookup(catalogue, name, s);
}

// Streams the `n` ticks of `span`, or refuses more than `max` of them.
bool stream_ticks(Exchange& ex, std::uint32_t cmd, const PriceSource& s, const TickSpan& span, TickFilter filter,
                  std::uint64_t n, std::uint64_t max) {
    if (n > max) return ex.status(cmd, wire::kOutOfMemory);
    const auto reader = s.read(span, filter);
    return ex.stream_records<wire::TickRecord>(
        cmd, n, [&reader](wire::TickRecord* out, std::size_t most) { return reader->fill(out, most); });
}

// Streams the bars of a plan, or refuses more than `max` of them: the kept
// bars as one slice, then those built from the ticks.
bool stream_bars(Exchange& ex, std::uint32_t cmd, Market& market, const PriceSource& s, Timeframe tf,
                 std::int64_t now_ms, const BarPlan& plan, std::uint64_t max) {
    if (plan.total() > max) return ex.status(cmd, wire::kOutOfMemory);
    BarCursor cursor(market, s, tf, now_ms, plan.tail);
    const auto fill = [&cursor](std::byte* out, std::size_t most) {
        // Records are packed (alignment 1), so any byte offset holds one.
        return cursor.fill(reinterpret_cast<wire::BarRecord*>(out), most);
    };
    std::span<const std::byte> slice;
    if (plan.count > 0) slice = std::as_bytes(std::span(plan.series->bars).subspan(plan.from, plan.count));
    return ex.stream_slice(cmd, slice, plan.tail.count, sizeof(wire::BarRecord), fill);
}

}  // namespace

bool Terminal::on_ticks_from(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::int64_t from_ms = 0;
    std::int32_t count = 0;
    std::int32_t flags = 0;
    std::optional<TickFilter> filter;
    const PriceSource* s = nullptr;
    const auto valid = [&] { return (filter = tick_filter(flags)).has_value() && count >= 0; };
    if (const std::int32_t code = read_request(catalogue_, in, s, valid, from_ms, count, flags); code != wire::kSuccess)
        return ex.status(cmd, code);

    const TickSpan span = visible_span(market_, *s, from_ms, market_.now_ms());
    const auto wanted = static_cast<std::uint64_t>(count);
    const std::uint64_t n = std::min(wanted, s->count(span, *filter, wanted));
    return stream_ticks(ex, cmd, *s, span, *filter, n, max_records());
}

bool Terminal::on_ticks_range(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::int64_t from_ms = 0;
    std::int64_t to_ms = 0;
    std::int32_t flags = 0;
    std::optional<TickFilter> filter;
    const PriceSource* s = nullptr;
    const auto valid = [&] { return (filter = tick_filter(flags)).has_value(); };
    if (const std::int32_t code = read_request(catalogue_, in, s, valid, from_ms, to_ms, flags); code != wire::kSuccess)
        return ex.status(cmd, code);

    const TickSpan span = visible_span(market_, *s, from_ms, to_ms);
    const std::uint64_t n = s->count(span, *filter, max_records());
    return stream_ticks(ex, cmd, *s, span, *filter, n, max_records());
}

bool Terminal::on_rates_from(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::int32_t tf = 0;
    std::int64_t date_s = 0;
    std::int32_t count = 0;
    const PriceSource* s = nullptr;
    const auto valid = [&] { return valid_timeframe(tf) && count >= 0; };
    if (const std::int32_t code = read_request(catalogue_, in, s, valid, tf, date_s, count); code != wire::kSuccess)
        return ex.status(cmd, code);

    const std::int64_t now = market_.now_ms();
    const auto timeframe = static_cast<Timeframe>(tf);
    const BarPlan plan = plan_from(market_, *s, timeframe, now, date_s, static_cast<std::uint64_t>(count));
    return stream_bars(ex, cmd, market_, *s, timeframe, now, plan, max_records());
}

bool Terminal::on_rates_range(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::int32_t tf = 0;
    std::int64_t from_s = 0;
    std::int64_t to_s = 0;
    const PriceSource* s = nullptr;
    const auto valid = [&] { return valid_timeframe(tf); };
    if (const std::int32_t code = read_request(catalogue_, in, s, valid, tf, from_s, to_s); code != wire::kSuccess)
        return ex.status(cmd, code);

    const std::int64_t now = market_.now_ms();
    const auto timeframe = static_cast<Timeframe>(tf);
    const BarPlan plan = plan_range(market_, *s, timeframe, now, from_s, to_s, max_records());
    return stream_bars(ex, cmd, market_, *s, timeframe, now, plan, max_records());
}

bool Terminal::on_rates_from_pos(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::int32_t tf = 0;
    std::int32_t start_pos = 0;
    std::int32_t count = 0;
    const PriceSource* s = nullptr;
    const auto valid = [&] { return valid_timeframe(tf) && start_pos >= 0 && count >= 0; };
    if (const std::int32_t code = read_request(catalogue_, in, s, valid, tf, start_pos, count); code != wire::kSuccess)
        return ex.status(cmd, code);

    const std::int64_t now = market_.now_ms();
    const auto timeframe = static_cast<Timeframe>(tf);
    const BarPlan plan = plan_from_pos(market_, *s, timeframe, now, static_cast<std::uint64_t>(start_pos),
                                       static_cast<std::uint64_t>(count));
    return stream_bars(ex, cmd, market_, *s, timeframe, now, plan, max_records());
}

}  // namespace qvn::terminal
