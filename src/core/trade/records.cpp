// The one driver behind positions_get, orders_get, history_orders_get and
// history_deals_get: send the chosen request, read one record or a counted
// list, narrow it by group, and build the tuple straight from the records.
#include "trade/records.hpp"

#include <array>
#include <cstring>

#include "convert/outcome.hpp"
#include "convert/records.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "protocol/group.hpp"
#include "protocol/wire.hpp"

namespace qvn::trade {

const RecordKind kPositionKind = {convert::TypeId::TradePosition, sizeof(wire::TradePositionRecord),
                                  offsetof(wire::TradePositionRecord, symbol)};
const RecordKind kOrderKind = {convert::TypeId::TradeOrder, sizeof(wire::TradeOrderRecord),
                               offsetof(wire::TradeOrderRecord, symbol)};
const RecordKind kDealKind = {convert::TypeId::TradeDeal, sizeof(wire::TradeDealRecord),
                              offsetof(wire::TradeDealRecord, symbol)};

namespace {

constexpr std::size_t kNameUnits = 32;
constexpr std::size_t kLargestRecord = sizeof(wire::TradeOrderRecord);
static_assert(sizeof(wire::TradePositionRecord) <= kLargestRecord && sizeof(wire::TradeDealRecord) <= kLargestRecord);

PyObject* tuples_or_fail(const RecordKind& kind, const void* records, std::size_t count) noexcept {
    PyObject* list = convert::make_record_tuples(kind.type, records, count);
    if (list == nullptr) return convert::error_none(wire::kFailed);
    return list;
}

PyObject* fetch_one(const RecordKind& kind, const Query& query) noexcept {
    alignas(8) std::uint8_t record[kLargestRecord];
    const std::int32_t code = link::send_command_u64(link::client().handle(), query.command, query.id,
                                                     read_record_reply(record, kind.size));
    // An unknown ticket is an empty answer, not a failure.
    if (code == wire::kNotFound || code == 0) return tuples_or_fail(kind, nullptr, 0);
    if (code < 0) return convert::error_none(code);
    return tuples_or_fail(kind, record, 1);
}

}  // namespace

std::uint32_t filter_by_group(void* records, std::uint32_t count, const RecordKind& kind,
                              const GroupText& group) noexcept {
    // Compacted in place: a kept record only ever moves towards the front,
    // so the filter needs no second block and cannot fail.
    auto* bytes = static_cast<std::uint8_t*>(records);
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t* record = bytes + std::size_t{i} * kind.size;
        char16_t name[kNameUnits];
        std::memcpy(name, record + kind.symbol_offset, sizeof name);
        std::size_t length = 0;
        while (length < kNameUnits && name[length] != 0) ++length;
        if (!protocol::match_group(group.view(), {name, length})) continue;
        if (kept != i) std::memmove(bytes + std::size_t{kept} * kind.size, record, kind.size);
        ++kept;
    }
    return kept;
}

PyObject* fetch_records(const RecordKind& kind, const Query& query) noexcept {
    if (query.form == Form::Ticket) return fetch_one(kind, query);

    link::Channel& handle = link::client().handle();
    link::RecordBlock records;
    // Without a group every record is kept, so each piece becomes tuples as
    // it arrives; a group narrows the whole list first.
    convert::TuplesOnArrival tuples(kind.type);
    const auto read = read_record_list(kind.size, records, query.group == nullptr ? tuples.progress() : nullptr);
    std::int32_t code = 0;
    switch (query.form) {
        case Form::All: code = link::send_command(handle, query.command, read); break;
        case Form::Symbol: code = link::send_command_text(handle, query.command, query.symbol, read); break;
        case Form::Id: code = link::send_command_u64(handle, query.command, query.id, read); break;
        case Form::Period: code = send_command_range(handle, query.command, query.from, query.to, read); break;
        case Form::Ticket: break;
    }
    if (code < 0) return convert::error_none(code);
    if (query.group == nullptr) {
        PyObject* list = tuples.finish();
        return list != nullptr ? list : convert::error_none(wire::kFailed);
    }
    std::uint32_t count = records.count();
    if (count != 0) count = filter_by_group(records.data(), count, kind, *query.group);
    return tuples_or_fail(kind, records.data(), count);
}

PyObject* invalid(const char* text) noexcept { return convert::error_none(wire::kInvalidParams, text); }

PyObject* keyword(PyObject* kwargs, Key key) noexcept {
    if (kwargs == nullptr) return nullptr;
    // The names, in the order of Key, as str objects made once and held for
    // the process's life (as a request's keys are): a look-up by C string
    // makes, hashes and drops a new str on every call. A name that could
    // not be made is looked up by its C string.
    static constexpr std::array<const char*, 4> kNames = {"symbol", "ticket", "group", "position"};
    static const std::array<PyObject*, kNames.size()> names = [] {
        std::array<PyObject*, kNames.size()> out{};
        for (std::size_t i = 0; i < kNames.size(); ++i) {
            out[i] = PyUnicode_InternFromString(kNames[i]);
            if (out[i] == nullptr) PyErr_Clear();
        }
        return out;
    }();
    const auto i = static_cast<std::size_t>(key);
    return names[i] != nullptr ? PyDict_GetItem(kwargs, names[i]) : PyDict_GetItemString(kwargs, kNames[i]);
}

PyObject* fetch_total(std::uint32_t command) noexcept {
    link::reset_error();
    std::uint32_t count = 0;
    const std::int32_t code = link::send_command(link::client().handle(), command, link::status_reply(count));
    if (code < 0) return convert::error_none(code);
    return PyLong_FromUnsignedLong(count);
}

}  // namespace qvn::trade
