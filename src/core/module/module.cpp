// The module's entry point: imports the C interfaces the module depends on,
// builds the record layouts, creates the module with its method table and
// registers the named-tuple types.
#define QVN_IMPORTS_NUMPY
#include "module/numpy.hpp"

#include <datetime.h>

#include "module/calls.hpp"
#include "module/capi.hpp"
#include "module/types.hpp"
#include "history/history.hpp"
#include "link/error.hpp"
#include "link/lifecycle.hpp"
#include "market/market.hpp"
#include "trade/trade.hpp"

namespace qvn::module {
namespace {

PyDateTime_CAPI* g_datetime = nullptr;

// A function taking keywords, as the method table stores it.
PyCFunction keywords(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Each docstring is the signature line, a blank line, then the description.
PyMethodDef kMethods[] = {
    {"initialize", keywords(&interrupting_call<link::py_initialize>),
     METH_VARARGS | METH_KEYWORDS,
     "initialize([path],[server=\"SERVER\"],[login=LOGIN],[password=\"PASSWORD\"])\n\n"
     "Establish connection to Quorvane terminal"},
    {"shutdown", interrupting_call<link::py_shutdown>, METH_NOARGS, "shutdown()\n\nDisconnect from Quorvane terminal"},
    {"login", keywords(&one_call<link::py_login>),
     METH_VARARGS | METH_KEYWORDS,
     "login(login,[server=\"SERVER\"],[password=\"PASSWORD\"])\n\nLog in to specific account"},
    {"version", one_call<history::py_version>, METH_NOARGS, "version()\n\nGet Quorvane terminal version"},
    {"terminal_info", one_call<market::py_terminal_info>, METH_NOARGS, "terminal_info()\n\nGet parameters of Quorvane terminal"},
    {"account_info", one_call<market::py_account_info>, METH_NOARGS,
     "account_info()\n\nReturn information on the current account"},
    {"copy_ticks_from", one_call<history::py_copy_ticks_from>, METH_VARARGS,
     "copy_ticks_from(symbol, date_from, count, flags)\n\nGet ticks starting from specific date"},
    {"copy_ticks_range", one_call<history::py_copy_ticks_range>, METH_VARARGS,
     "copy_ticks_range(symbol, date_from, date_to, flags)\n\nGet ticks from specified period"},
    {"copy_rates_from", one_call<history::py_copy_rates_from>, METH_VARARGS,
     "copy_rates_from(symbol, timeframe, date_from, count)\n\nGet bars starting from specific date"},
    {"copy_rates_from_pos", one_call<history::py_copy_rates_from_pos>, METH_VARARGS,
     "copy_rates_from_pos(symbol, timeframe, start_pos, count)\n\nGet bars starting from specified position"},
    {"copy_rates_range", one_call<history::py_copy_rates_range>, METH_VARARGS,
     "copy_rates_range(symbol, timeframe, date_from, date_to)\n\nGet bars from specified period"},
    {"positions_total", one_call<trade::py_positions_total>, METH_NOARGS,
     "positions_total()\n\nReturn the number of open positions"},
    {"positions_get", keywords(&one_call<trade::py_positions_get>),
     METH_VARARGS | METH_KEYWORDS,
     "positions_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])\n\n"
     "Return all open positions, can be filtered by symbol, group or ticket"},
    {"orders_total", one_call<trade::py_orders_total>, METH_NOARGS, "orders_total()\n\nReturn the number of orders"},
    {"orders_get", keywords(&one_call<trade::py_orders_get>),
     METH_VARARGS | METH_KEYWORDS,
     "orders_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])\n\n"
     "Return all orders, can be filtered by symbol, group or ticket"},
    {"history_orders_total", one_call<trade::py_history_orders_total>, METH_VARARGS,
     "history_orders_total(date_from, date_to)\n\nReturn the number of orders in selected range from history"},
    {"history_orders_get", keywords(&one_call<trade::py_history_orders_get>),
     METH_VARARGS | METH_KEYWORDS,
     "history_orders_get([date_from, date_to, [group=\"GROUP\"]],[position=POSITION],[ticket=TICKET])\n\n"
     "Return orders in selected range from history or filtered by position id, ticket"},
    {"history_deals_total", one_call<trade::py_history_deals_total>, METH_VARARGS,
     "history_deals_total(date_from, date_to)\n\nReturn the number of deals in selected range from history"},
    {"history_deals_get", keywords(&one_call<trade::py_history_deals_get>),
     METH_VARARGS | METH_KEYWORDS,
     "history_deals_get([date_from, date_to, [group=\"GROUP\"]],[position=POSITION],[ticket=TICKET])\n\n"
     "Return deals in selected range from history or filtered by position id, ticket"},
    {"order_check", keywords(&one_call<trade::py_order_check>),
     METH_VARARGS | METH_KEYWORDS,
     "order_check(request)\n\nCheck if there are enough funds to execute required trading operation"},
    {"order_send", keywords(&one_call<trade::py_order_send>),
     METH_VARARGS | METH_KEYWORDS, "order_send(request)\n\nSend trading requests to server"},
    {"order_calc_margin", one_call<market::py_order_calc_margin>, METH_VARARGS,
     "order_calc_margin(action, symbol, volume, price,)\n\nCalculate margin required for specified order"},
    {"order_calc_profit", one_call<market::py_order_calc_profit>, METH_VARARGS,
     "order_calc_profit(action, symbol, volume, price_open, price_close)\n\n"
     "Calculate profit for the current account in the current market conditions based on parameters passed"},
    {"symbol_info", one_call<market::py_symbol_info>, METH_VARARGS,
     "symbol_info(symbol)\n\nReturn full information for specified symbol"},
    {"symbol_info_tick", one_call<market::py_symbol_info_tick>, METH_VARARGS,
     "symbol_info_tick(symbol)\n\nReturn current prices of specified symbol"},
    {"symbol_select", one_call<market::py_symbol_select>, METH_VARARGS,
     "symbol_select(symbol,[enable])\n\nSelect symbol in Market Watch window or remove symbol from the window"},
    {"symbols_total", one_call<market::py_symbols_total>, METH_NOARGS,
     "symbols_total()\n\nReturn the number of all available symbols"},
    {"symbols_get", keywords(&one_call<market::py_symbols_get>),
     METH_VARARGS | METH_KEYWORDS, "symbols_get([group=\"GROUP\"])\n\nReturn all available symbols or filtred by group"},
    {"market_book_add", one_call<market::py_market_book_add>, METH_VARARGS,
     "market_book_add(symbol)\n\nOpens Depth of Market for a selected symbol"},
    {"market_book_release", one_call<market::py_market_book_release>, METH_VARARGS,
     "market_book_release(symbol)\n\nCloses Depth of Market for a selected symbol"},
    {"market_book_get", one_call<market::py_market_book_get>, METH_VARARGS,
     "market_book_get(symbol)\n\nReturns Depth of Market structures of a specified symbol"},
    {"last_error", link::py_last_error, METH_NOARGS, "last_error()\n\nReturn last error code and description"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "API Connector to Quorvane Terminal",
    -1,  // all state is process-wide; no per-module state
    kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

// NumPy's import macro returns from the function it is used in.
int import_numpy() {
    import_array1(-1);
    return 0;
}

}  // namespace

PyTypeObject* datetime_type() noexcept { return g_datetime != nullptr ? g_datetime->DateTimeType : nullptr; }

}  // namespace qvn::module

PyMODINIT_FUNC PyInit__core(void) {
    using namespace qvn::module;
    // Dates given as datetime.datetime need the datetime C API; without it
    // the module could not honour its date arguments, so the import fails.
    g_datetime = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (g_datetime == nullptr) return nullptr;
    if (import_numpy() < 0) return nullptr;
    qvn::history::build_layouts();
    install_wait_hooks();
    PyObject* module = PyModule_Create2(&kModule, PYTHON_API_VERSION);
    if (module == nullptr) return nullptr;
    register_types(module);
    return module;
}
