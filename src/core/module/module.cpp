// The module's entry point: imports the C interfaces the module depends on,
// builds the record layouts, creates the module with its method table and
// registers the named-tuple types.
#define QVN_IMPORTS_NUMPY
#include "module/numpy.hpp"

#include <datetime.h>

#include "module/capi.hpp"
#include "module/types.hpp"
#include "history/history.hpp"
#include "link/error.hpp"
#include "link/lifecycle.hpp"
#include "market/market.hpp"

namespace qvn::module {
namespace {

PyDateTime_CAPI* g_datetime = nullptr;

// Each docstring is the signature line, a blank line, then the description.
PyMethodDef kMethods[] = {
    {"initialize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(link::py_initialize)),
     METH_VARARGS | METH_KEYWORDS,
     "initialize([path],[server=\"SERVER\"],[login=LOGIN],[password=\"PASSWORD\"])\n\n"
     "Establish connection to Quorvane terminal"},
    {"shutdown", link::py_shutdown, METH_NOARGS, "shutdown()\n\nDisconnect from Quorvane terminal"},
    {"login", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(link::py_login)),
     METH_VARARGS | METH_KEYWORDS,
     "login(login,[server=\"SERVER\"],[password=\"PASSWORD\"])\n\nLog in to specific account"},
    {"version", history::py_version, METH_NOARGS, "version()\n\nGet Quorvane terminal version"},
    {"terminal_info", market::py_terminal_info, METH_NOARGS, "terminal_info()\n\nGet parameters of Quorvane terminal"},
    {"account_info", market::py_account_info, METH_NOARGS,
     "account_info()\n\nReturn information on the current account"},
    {"copy_ticks_from", history::py_copy_ticks_from, METH_VARARGS,
     "copy_ticks_from(symbol, date_from, count, flags)\n\nGet ticks starting from specific date"},
    {"copy_ticks_range", history::py_copy_ticks_range, METH_VARARGS,
     "copy_ticks_range(symbol, date_from, date_to, flags)\n\nGet ticks from specified period"},
    {"copy_rates_from", history::py_copy_rates_from, METH_VARARGS,
     "copy_rates_from(symbol, timeframe, date_from, count)\n\nGet bars starting from specific date"},
    {"copy_rates_from_pos", history::py_copy_rates_from_pos, METH_VARARGS,
     "copy_rates_from_pos(symbol, timeframe, start_pos, count)\n\nGet bars starting from specified position"},
    {"copy_rates_range", history::py_copy_rates_range, METH_VARARGS,
     "copy_rates_range(symbol, timeframe, date_from, date_to)\n\nGet bars from specified period"},
    {"order_calc_margin", market::py_order_calc_margin, METH_VARARGS,
     "order_calc_margin(action, symbol, volume, price,)\n\nCalculate margin required for specified order"},
    {"order_calc_profit", market::py_order_calc_profit, METH_VARARGS,
     "order_calc_profit(action, symbol, volume, price_open, price_close)\n\n"
     "Calculate profit for the current account in the current market conditions based on parameters passed"},
    {"symbol_info", market::py_symbol_info, METH_VARARGS,
     "symbol_info(symbol)\n\nReturn full information for specified symbol"},
    {"symbol_info_tick", market::py_symbol_info_tick, METH_VARARGS,
     "symbol_info_tick(symbol)\n\nReturn current prices of specified symbol"},
    {"symbol_select", market::py_symbol_select, METH_VARARGS,
     "symbol_select(symbol,[enable])\n\nSelect symbol in Market Watch window or remove symbol from the window"},
    {"symbols_total", market::py_symbols_total, METH_NOARGS,
     "symbols_total()\n\nReturn the number of all available symbols"},
    {"symbols_get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(market::py_symbols_get)),
     METH_VARARGS | METH_KEYWORDS, "symbols_get([group=\"GROUP\"])\n\nReturn all available symbols or filtred by group"},
    {"market_book_add", market::py_market_book_add, METH_VARARGS,
     "market_book_add(symbol)\n\nOpens Depth of Market for a selected symbol"},
    {"market_book_release", market::py_market_book_release, METH_VARARGS,
     "market_book_release(symbol)\n\nCloses Depth of Market for a selected symbol"},
    {"market_book_get", market::py_market_book_get, METH_VARARGS,
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
    PyObject* module = PyModule_Create2(&kModule, PYTHON_API_VERSION);
    if (module == nullptr) return nullptr;
    register_types(module);
    return module;
}
