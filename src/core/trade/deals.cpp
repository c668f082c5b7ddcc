// The trade history: history_orders_total, history_orders_get,
// history_deals_total and history_deals_get. Orders and deals differ only in
// their commands and their record.
#include "convert/args.hpp"
#include "convert/outcome.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "protocol/wire.hpp"
#include "trade/records.hpp"

namespace qvn::trade {
namespace {

struct Commands {
    std::uint32_t total, range, by_position, by_ticket;
};

constexpr Commands kOrderCommands = {wire::kHistoryOrdersTotal, wire::kHistoryOrdersRange,
                                     wire::kHistoryOrdersByPosition, wire::kHistoryOrderByTicket};
constexpr Commands kDealCommands = {wire::kHistoryDealsTotal, wire::kHistoryDealsRange,
                                    wire::kHistoryDealsByPosition, wire::kHistoryDealByTicket};

// Two positional dates; each goes on the wire as i64 seconds. Null once
// taken, else the refusal for the caller to return.
PyObject* period(PyObject* args, Query& query) noexcept {
    if (args == nullptr || PyTuple_GET_SIZE(args) != 2) return invalid("Invalid arguments");
    constexpr const char* kNames[2] = {"date_from", "date_to"};
    std::int32_t seconds[2] = {};
    for (Py_ssize_t i = 0; i < 2; ++i)
        if (!convert::to_seconds(PyTuple_GET_ITEM(args, i), seconds[i]))
            return convert::refused_date(kNames[i], PyTuple_GET_ITEM(args, i));
    query.form = Form::Period;
    query.from = seconds[0];
    query.to = seconds[1];
    return nullptr;
}

PyObject* history_total(std::uint32_t command, PyObject* args) noexcept {
    link::reset_error();
    Query query(command);
    if (PyObject* refused = period(args, query)) return refused;
    std::uint32_t count = 0;
    const std::int32_t code =
        send_command_range(link::client().handle(), command, query.from, query.to, link::status_reply(count));
    if (code < 0) return convert::error_none(code);
    return PyLong_FromUnsignedLong(count);
}

// Either a period (two dates, optionally `group`), or no positional
// argument and `ticket` (before `position`).
PyObject* history_records(const RecordKind& kind, const Commands& commands, PyObject* args,
                          PyObject* kwargs) noexcept {
    link::reset_error();
    const Py_ssize_t given = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    Query query(commands.range);
    GroupText group;
    if (given == 2) {
        if (PyObject* refused = period(args, query)) return refused;
        if (PyObject* value = keyword(kwargs, Key::Group)) {
            if (!convert::to_text(value, wire::kGroupUnits, group)) return invalid("Invalid \"group\" argument");
            query.group = &group;
        }
        return fetch_records(kind, query);
    }
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) return invalid("Invalid arguments");
    if (PyObject* value = keyword(kwargs, Key::Ticket)) {
        if (given != 0) return invalid("Unnamed arguments not allowed");
        if (!convert::to_u64(value, query.id)) return invalid("Invalid \"ticket\" argument");
        query.command = commands.by_ticket;
        query.form = Form::Ticket;
    } else if (PyObject* value = keyword(kwargs, Key::Position)) {
        if (given != 0) return invalid("Unnamed arguments not allowed");
        if (!convert::to_u64(value, query.id)) return invalid("Invalid \"position\" argument");
        query.command = commands.by_position;
        query.form = Form::Id;
    } else {
        return invalid("Invalid arguments");
    }
    return fetch_records(kind, query);
}

}  // namespace

PyObject* py_history_orders_total(PyObject*, PyObject* args) { return history_total(kOrderCommands.total, args); }

PyObject* py_history_deals_total(PyObject*, PyObject* args) { return history_total(kDealCommands.total, args); }

PyObject* py_history_orders_get(PyObject*, PyObject* args, PyObject* kwargs) {
    return history_records(kOrderKind, kOrderCommands, args, kwargs);
}

PyObject* py_history_deals_get(PyObject*, PyObject* args, PyObject* kwargs) {
    return history_records(kDealKind, kDealCommands, args, kwargs);
}

}  // namespace qvn::trade
