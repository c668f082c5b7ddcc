// Symbol commands: the catalogue (count, lists, one record), the latest
// tick, and Market Watch selection.
#include <cstring>

#include "protocol/group.hpp"
#include "protocol/wire.hpp"
#include "terminal/market/symbol_record.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

// Reads a request of a symbol name and `fields`, all of it and nothing
// more, and finds the symbol: kSuccess with `index` set, or the code to
// answer.
template <class... Fields>
std::int32_t read_symbol(const Terminal& terminal, RequestReader& in, std::size_t& index, Fields&... fields) {
    std::u16string name;
    if (!in.wide(name) || !(in.read(fields) && ...) || !in.done()) return wire::kInvalidParams;
    return terminal.symbol_index(name, index);
}

}  // namespace

std::int32_t Terminal::symbol_index(std::u16string_view name, std::size_t& index) const {
    if (name.size() > wire::kSymbolUnits) return wire::kInvalidParams;
    index = catalogue_.index_of(name);
    return index != Catalogue::npos ? wire::kSuccess : wire::kNotFound;
}

std::string Terminal::account_currency() const {
    const std::u16string currency = current_account().currency;
    std::string out;
    for (char16_t c : currency) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

Rates Terminal::rates(std::int64_t now_ms) { return rates_at(market_, quotes_, now_ms, true); }

bool Terminal::stream_symbols(std::uint32_t cmd, const std::vector<std::uint32_t>* indices, Exchange& ex) {
    const std::uint64_t count = indices != nullptr ? indices->size() : catalogue_.size();
    const std::uint64_t limit = settings_.max_response_bytes();
    if (count > (limit - 12) / sizeof(wire::SymbolInfoRecord)) return ex.status(cmd, wire::kOutOfMemory);

    // Everything that varies per price source is worked out once, before
    // streaming: generated symbols share their template's source, so a
    // catalogue of any size costs one record per source, which each entry
    // copies and completes with its own fields.
    const std::int64_t now = market_.now_ms();
    const std::string currency = account_currency();
    const Rates r = rates(now);
    const auto& sources = market_.sources();
    std::vector<std::uint8_t> used(sources.size(), 0);
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::size_t i = indices != nullptr ? (*indices)[k] : k;
        used[catalogue_[i].source->index()] = 1;
    }
    std::vector<wire::SymbolInfoRecord> bases(sources.size());
    for (std::size_t m = 0; m < sources.size(); ++m) {
        if (used[m] == 0) continue;
        const Instrument& ins = sources[m]->instrument();
        fill_source_record(bases[m], ins, quotes_.summary(*sources[m], now), tick_value(ins, currency, r));
    }
    const std::vector<std::uint8_t> selection = watch_.selection();

    std::uint64_t next = 0;
    return ex.stream_records<wire::SymbolInfoRecord>(
        cmd, count, [&](wire::SymbolInfoRecord* out, std::size_t max) {
            std::size_t n = 0;
            for (; n < max && next < count; ++n, ++next) {
                const std::size_t i = indices != nullptr ? (*indices)[next] : next;
                const CatalogueEntry& e = catalogue_[i];
                std::memcpy(&out[n], &bases[e.source->index()], sizeof out[n]);
                put_entry_fields(out[n], e, selection[i] != 0);
            }
            return n;
        });
}

bool Terminal::on_symbol_info(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::size_t i = 0;
    if (const std::int32_t code = read_symbol(*this, in, i); code != wire::kSuccess) return ex.status(cmd, code);
    const CatalogueEntry& e = catalogue_[i];
    const std::int64_t now = market_.now_ms();
    const DaySummary q = quotes_.summary(*e.source, now);
    const Instrument& ins = e.source->instrument();
    const std::string currency = account_currency();
    const TickValue value =
        tick_value(ins, currency, rates_at(market_, quotes_, now, true, ins.currency_profit, currency));
    wire::SymbolInfoRecord record;
    fill_symbol_record(record, e, q, watch_.selected(i), value);
    Response r(cmd, wire::kSuccess);
    // Older builds send the record without its trailing name.
    r.put_bytes(&record, serves_catalogue() ? sizeof record : wire::kSymbolRecordShort);
    return ex.send(r);
}

bool Terminal::on_symbol_select(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::uint8_t enable = 0;
    std::size_t i = 0;
    if (const std::int32_t code = read_symbol(*this, in, i, enable); code != wire::kSuccess)
        return ex.status(cmd, code);
    if (enable != 0) {
        watch_.select(i);
        return ex.status(cmd, wire::kSuccess);
    }
    return ex.status(cmd, watch_.deselect(i));
}

bool Terminal::on_symbol_info_tick(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::size_t i = 0;
    if (const std::int32_t code = read_symbol(*this, in, i); code != wire::kSuccess) return ex.status(cmd, code);
    // Before the first tick of the process there is no quote: all zeros.
    const auto tick = catalogue_[i].source->latest(market_.now_ms());
    Response r(cmd, wire::kSuccess);
    r.put(tick.value_or(wire::TickRecord{}));
    return ex.send(r);
}

bool Terminal::on_symbols_total(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    if (!in.done()) return ex.status(cmd, wire::kInvalidParams);
    if (!serves_catalogue()) return ex.status(cmd, wire::kIncompatibleVersion);
    Response r(cmd, wire::kSuccess);
    r.put(static_cast<std::uint32_t>(catalogue_.size()));
    return ex.send(r);
}

bool Terminal::on_symbols_get(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    if (!in.done()) return ex.status(cmd, wire::kInvalidParams);
    if (!serves_catalogue()) return ex.status(cmd, wire::kIncompatibleVersion);
    return stream_symbols(cmd, nullptr, ex);
}

bool Terminal::on_symbols_get_group(std::uint32_t cmd, RequestReader& in, Exchange& ex) {
    std::u16string group;
    if (!in.wide(group) || !in.done() || group.size() > wire::kGroupUnits) return ex.status(cmd, wire::kInvalidParams);
    if (!serves_catalogue()) return ex.status(cmd, wire::kIncompatibleVersion);
    // An empty group means no selection at all, as for the plain list.
    if (group.empty()) return stream_symbols(cmd, nullptr, ex);
    std::vector<std::uint32_t> chosen;
    for (std::size_t i = 0; i < catalogue_.size(); ++i)
        if (protocol::match_group(group, catalogue_[i].name)) chosen.push_back(static_cast<std::uint32_t>(i));
    return stream_symbols(cmd, &chosen, ex);
}

}  // namespace qvn::terminal
