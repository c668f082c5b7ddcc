// Tick and bar history commands. Each request is checked in full (layout,
// then values, then the symbol), counted against the response limit, and
// only then streamed; a refused request costs no generation beyond the count.
#include "protocol/wire.hpp"
#include "terminal/market/bars.hpp"
#include "terminal/terminal.hpp"
#include "terminal/market/ticks.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

// Result code for a symbol name: kSuccess with `out` set, or kNotFound. A
// generated symbol serves the history of the source it shares.
std::int32_t lookup(const Catalogue& catalogue, const std::u16string& name, const PriceSource*& out) {
    const CatalogueEntry* e = catalogue.find(name);
    out = e != nullptr ? e->source : nullptr;
    return out != nullptr ? wire::kSuccess : wire::kNotFound;
}

}  // namespace

bool Terminal::on_ticks_from(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::u16string name;
    std::int64_t from_ms = 0;
    std::int32_t count = 0;
    std::int32_t flags = 0;
    if (!in.wide(name) || !in.read(from_ms) || !in.read(count) || !in.read(flags) || !in.done())
        return ex.status(cmd, wire::kInvalidParams);
    const auto filter = tick_filter(flags);
    if (!filter || count < 0) return ex.status(cmd, wire::kInvalidParams);
    const PriceSource* s = nullptr;
    if (const std::int32_t code = lookup(catalogue_, name, s); code != wire::kSuccess) return ex.status(cmd, code);

    const TickSpan span = visible_span(market_, *s, from_ms, market_.now_ms());
    const auto wanted = static_cast<std::uint64_t>(count);
    const std::uint64_t n = std::min(wanted, s->count(span, *filter, wanted));
    if (n > max_records()) return ex.status(cmd, wire::kOutOfMemory);
    const auto reader = s->read(span, *filter);
    return ex.stream_records<wire::TickRecord>(
        cmd, n, [&reader](wire::TickRecord* out, std::size_t max) { return reader->fill(out, max); });
}

bool Terminal::on_ticks_range(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::u16string name;
    std::int64_t from_ms = 0;
    std::int64_t to_ms = 0;
    std::int32_t flags = 0;
    if (!in.wide(name) || !in.read(from_ms) || !in.read(to_ms) || !in.read(flags) || !in.done())
        return ex.status(cmd, wire::kInvalidParams);
    const auto filter = tick_filter(flags);
    if (!filter) return ex.status(cmd, wire::kInvalidParams);
    const PriceSource* s = nullptr;
    if (const std::int32_t code = lookup(catalogue_, name, s); code != wire::kSuccess) return ex.status(cmd, code);

    const TickSpan span = visible_span(market_, *s, from_ms, to_ms);
    const std::uint64_t n = s->count(span, *filter, max_records());
    if (n > max_records()) return ex.status(cmd, wire::kOutOfMemory);
    const auto reader = s->read(span, *filter);
    return ex.stream_records<wire::TickRecord>(
        cmd, n, [&reader](wire::TickRecord* out, std::size_t max) { return reader->fill(out, max); });
}

namespace {

bool stream_bars(Exchange& ex, std::uint32_t cmd, Market& market, const PriceSource& s, Timeframe tf,
                 std::int64_t now_ms, const BarPlan& plan) {
    BarCursor cursor(market, s, tf, now_ms, plan.tail);
    const auto fill = [&cursor](std::byte* out, std::size_t max) {
        // Records are packed (alignment 1), so any byte offset holds one.
        return cursor.fill(reinterpret_cast<wire::BarRecord*>(out), max);
    };
    std::span<const std::byte> slice;
    if (plan.count > 0) slice = std::as_bytes(std::span(plan.series->bars).subspan(plan.from, plan.count));
    return ex.stream_slice(cmd, slice, plan.tail.count, sizeof(wire::BarRecord), fill);
}

}  // namespace

bool Terminal::on_rates_from(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::u16string name;
    std::int32_t tf = 0;
    std::int64_t date_s = 0;
    std::int32_t count = 0;
    if (!in.wide(name) || !in.read(tf) || !in.read(date_s) || !in.read(count) || !in.done())
        return ex.status(cmd, wire::kInvalidParams);
    if (!valid_timeframe(tf) || count < 0) return ex.status(cmd, wire::kInvalidParams);
    const PriceSource* s = nullptr;
    if (const std::int32_t code = lookup(catalogue_, name, s); code != wire::kSuccess) return ex.status(cmd, code);

    const std::int64_t now = market_.now_ms();
    const auto timeframe = static_cast<Timeframe>(tf);
    const BarPlan plan = plan_from(market_, *s, timeframe, now, date_s, static_cast<std::uint64_t>(count));
    if (plan.total() > max_records()) return ex.status(cmd, wire::kOutOfMemory);
    return stream_bars(ex, cmd, market_, *s, timeframe, now, plan);
}

bool Terminal::on_rates_range(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::u16string name;
    std::int32_t tf = 0;
    std::int64_t from_s = 0;
    std::int64_t to_s = 0;
    if (!in.wide(name) || !in.read(tf) || !in.read(from_s) || !in.read(to_s) || !in.done())
        return ex.status(cmd, wire::kInvalidParams);
    if (!valid_timeframe(tf)) return ex.status(cmd, wire::kInvalidParams);
    const PriceSource* s = nullptr;
    if (const std::int32_t code = lookup(catalogue_, name, s); code != wire::kSuccess) return ex.status(cmd, code);

    const std::int64_t now = market_.now_ms();
    const auto timeframe = static_cast<Timeframe>(tf);
    const BarPlan plan = plan_range(market_, *s, timeframe, now, from_s, to_s, max_records());
    if (plan.total() > max_records()) return ex.status(cmd, wire::kOutOfMemory);
    return stream_bars(ex, cmd, market_, *s, timeframe, now, plan);
}

bool Terminal::on_rates_from_pos(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::u16string name;
    std::int32_t tf = 0;
    std::int32_t start_pos = 0;
    std::int32_t count = 0;
    if (!in.wide(name) || !in.read(tf) || !in.read(start_pos) || !in.read(count) || !in.done())
        return ex.status(cmd, wire::kInvalidParams);
    if (!valid_timeframe(tf) || start_pos < 0 || count < 0) return ex.status(cmd, wire::kInvalidParams);
    const PriceSource* s = nullptr;
    if (const std::int32_t code = lookup(catalogue_, name, s); code != wire::kSuccess) return ex.status(cmd, code);

    const std::int64_t now = market_.now_ms();
    const auto timeframe = static_cast<Timeframe>(tf);
    const BarPlan plan = plan_from_pos(market_, *s, timeframe, now, static_cast<std::uint64_t>(start_pos),
                                       static_cast<std::uint64_t>(count));
    if (plan.total() > max_records()) return ex.status(cmd, wire::kOutOfMemory);
    return stream_bars(ex, cmd, market_, *s, timeframe, now, plan);
}

}  // namespace qvn::terminal
