// Open positions and active orders: positions_total, positions_get,
// orders_total and orders_get. The two _get functions differ only in their
// commands and their record.
#include "link/error.hpp"
#include "protocol/wire.hpp"
#include "trade/records.hpp"

namespace qvn::trade {
namespace {

struct Commands {
    std::uint32_t all, by_symbol, by_ticket;
};

// Keywords choose the request: `ticket` before `symbol` before `group`; the
// later ones, and any others, are then ignored.
PyObject* open_records(const RecordKind& kind, const Commands& commands, PyObject* args,
                       PyObject* kwargs) noexcept {
    link::reset_error();
    if (args != nullptr && PyTuple_GET_SIZE(args) != 0) return invalid("Unnamed arguments not allowed");

    Query query(commands.all);
    convert::SymbolName symbol;
    GroupText group;
    if (PyObject* value = keyword(kwargs, Key::Ticket)) {
        if (!convert::to_u64(value, query.id)) return invalid("Invalid \"ticket\" argument");
        query.command = commands.by_ticket;
        query.form = Form::Ticket;
    } else if (PyObject* value = keyword(kwargs, Key::Symbol)) {
        if (!convert::to_symbol(value, symbol)) return invalid("Invalid \"symbol\" argument");
        query.command = commands.by_symbol;
        query.form = Form::Symbol;
        query.symbol = symbol.view();
    } else if (PyObject* value = keyword(kwargs, Key::Group)) {
        if (!convert::to_text(value, wire::kGroupUnits, group)) return invalid("Invalid \"group\" argument");
        query.group = &group;
    }
    return fetch_records(kind, query);
}

}  // namespace

PyObject* py_positions_total(PyObject*, PyObject*) { return fetch_total(wire::kPositionsTotal); }

PyObject* py_orders_total(PyObject*, PyObject*) { return fetch_total(wire::kOrdersTotal); }

PyObject* py_positions_get(PyObject*, PyObject* args, PyObject* kwargs) {
    return open_records(kPositionKind, {wire::kPositionsGet, wire::kPositionsBySymbol, wire::kPositionByTicket},
                        args, kwargs);
}

PyObject* py_orders_get(PyObject*, PyObject* args, PyObject* kwargs) {
    return open_records(kOrderKind, {wire::kOrdersGet, wire::kOrdersBySymbol, wire::kOrderByTicket}, args,
                        kwargs);
}

}  // namespace qvn::trade
