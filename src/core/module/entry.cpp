// The module's entry point: imports the C interfaces the module depends on,
// builds the record layouts, creates the module with its method table and
// registers the named-tuple types.
//
// Each module function is defined in its room and bound here, one row each:
// its room, its name and how it takes the call lock. Everything else about
// it (its docstring with the text signature, its calling convention) is
// described once, in the stub quorvane/_core.pyi, from which
// module/described.hpp is made at build time.
#include <Python.h>

#include <iterator>

#include "convert/imports.hpp"
#include "convert/layouts.hpp"
#include "convert/types.hpp"
#include "module/calls.hpp"
#include "module/described.hpp"

// room, name, lock: Ordinary calls wait for their turn; initialize and
// shutdown interrupt the call in flight; last_error reads what was
// published and takes no lock. The order is the method table's.
#define QVN_FUNCTIONS(X)                                  \
    X(session, initialize, Interrupting)                  \
    X(session, shutdown, Interrupting)                    \
    X(session, login, Ordinary)                           \
    X(session, version, Ordinary)                         \
    X(session, terminal_info, Ordinary)                   \
    X(session, account_info, Ordinary)                    \
    X(history, copy_ticks_from, Ordinary)                 \
    X(history, copy_ticks_range, Ordinary)                \
    X(history, copy_rates_from, Ordinary)                 \
    X(history, copy_rates_from_pos, Ordinary)             \
    X(history, copy_rates_range, Ordinary)                \
    X(trade, positions_total, Ordinary)                   \
    X(trade, positions_get, Ordinary)                     \
    X(trade, orders_total, Ordinary)                      \
    X(trade, orders_get, Ordinary)                        \
    X(trade, history_orders_total, Ordinary)              \
    X(trade, history_orders_get, Ordinary)                \
    X(trade, history_deals_total, Ordinary)               \
    X(trade, history_deals_get, Ordinary)                 \
    X(trade, order_check, Ordinary)                       \
    X(trade, order_send, Ordinary)                        \
    X(market, order_calc_margin, Ordinary)                \
    X(market, order_calc_profit, Ordinary)                \
    X(market, symbol_info, Ordinary)                      \
    X(market, symbol_info_tick, Ordinary)                 \
    X(market, symbol_select, Ordinary)                    \
    X(market, symbols_total, Ordinary)                    \
    X(market, symbols_get, Ordinary)                      \
    X(market, market_book_add, Ordinary)                  \
    X(market, market_book_release, Ordinary)              \
    X(market, market_book_get, Ordinary)                  \
    X(session, last_error, Unlocked)

namespace qvn::module {

// A function's C type follows from its calling convention.
template <int Flags>
struct Function {
    using type = PyObject*(PyObject* self, PyObject* args);
};
template <>
struct Function<METH_VARARGS | METH_KEYWORDS> {
    using type = PyObject*(PyObject* self, PyObject* args, PyObject* kwargs);
};

}  // namespace qvn::module

#define QVN_DECLARE(room, name, lock) \
    namespace qvn::room {             \
    qvn::module::Function<qvn::module::described::name.flags>::type py_##name; \
    }
QVN_FUNCTIONS(QVN_DECLARE)
#undef QVN_DECLARE

namespace qvn::session {
PyObject* py_installation(PyObject* self, PyObject* args);
PyObject* py_in_process(PyObject* self, PyObject* args);
}  // namespace qvn::session
namespace qvn::history {
PyObject* py_step(PyObject* self, PyObject* args);
PyObject* py_drive(PyObject* self, PyObject* args);
PyObject* py_ticks_ahead(PyObject* self, PyObject* args);
PyObject* py_lazy_clock(PyObject* self, PyObject* args);
}  // namespace qvn::history
namespace qvn::module {
PyObject* py_records_call(PyObject* self, PyObject* args);
}  // namespace qvn::module

namespace qvn::module {
namespace {

enum class Lock { Ordinary, Interrupting, Unlocked };

template <Lock L, auto F>
PyCFunction bound() noexcept {
    if constexpr (L == Lock::Ordinary)
        return locked<Call::Kind::Ordinary, F>();
    else if constexpr (L == Lock::Interrupting)
        return locked<Call::Kind::Interrupting, F>();
    else
        return F;
}

#define QVN_METHOD(room, name, lock)                                                        \
    {#name, bound<Lock::lock, &qvn::room::py_##name>(), described::name.flags, described::name.doc},
PyMethodDef kMethods[] = {
    QVN_FUNCTIONS(QVN_METHOD)
    {nullptr, nullptr, 0, nullptr},
};
#undef QVN_METHOD
static_assert(std::size(kMethods) - 1 == described::kPublicCount, "the stub describes a function not bound here");

// Private helpers, outside the method table (an underscore name each).
// _in_process replaces the connection: it interrupts like initialize;
// _step talks to the Terminal: it takes its turn like any ordinary call;
// _drive takes a turn for each of its steps, and none while on_bar runs.
PyMethodDef kPrivate[] = {
    {"_installation", qvn::session::py_installation, described::_installation.flags, described::_installation.doc},
    {"_in_process", bound<Lock::Interrupting, &qvn::session::py_in_process>(), described::_in_process.flags,
     described::_in_process.doc},
    {"_step", bound<Lock::Ordinary, &qvn::history::py_step>(), described::_step.flags, described::_step.doc},
    {"_drive", qvn::history::py_drive, described::_drive.flags, described::_drive.doc},
    // The tick backtest's: _ticks_ahead talks to the Terminal; _lazy_clock
    // only sets what the next call sends first, so it takes no turn.
    {"_ticks_ahead", bound<Lock::Ordinary, &qvn::history::py_ticks_ahead>(), described::_ticks_ahead.flags,
     described::_ticks_ahead.doc},
    {"_lazy_clock", qvn::history::py_lazy_clock, described::_lazy_clock.flags, described::_lazy_clock.doc},
    // The package's _get functions: each call takes the native function's
    // turn, none of its own.
    {"_records_call", py_records_call, described::_records_call.flags, described::_records_call.doc},
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

}  // namespace
}  // namespace qvn::module

PyMODINIT_FUNC PyInit__core(void) {
    using namespace qvn;
    // Dates given as datetime.datetime need the datetime C API, and arrays
    // NumPy's; without them the module could not keep its promises, so the
    // import fails.
    if (!convert::import_c_apis()) return nullptr;
    convert::build_layouts();
    module::install_wait_hooks();
    PyObject* core = PyModule_Create2(&module::kModule, PYTHON_API_VERSION);
    if (core == nullptr) return nullptr;
    if (PyModule_AddFunctions(core, module::kPrivate) < 0) {
        Py_DECREF(core);
        return nullptr;
    }
    convert::register_types(core);
    return core;
}
