// The tick backtest's two private helpers (quorvane.backtest.run_ticks):
//
// _ticks_ahead(symbol, from_ms, to_ms): the ticks of [from_ms, to_ms] of a
// Terminal whose clock is stepped, read ahead of its clock (the Terminal's
// command 902), as the array copy_ticks_range returns. The driver hands
// them to its strategy one by one.
//
// _lazy_clock(target_ms[, symbols]): the time the clock is to stand at
// before the module's next request (link/lazy_clock.hpp), 0 for none; with
// `symbols`, also the names whose next tick that move asks for. It talks to
// nobody, so it takes no turn: the driver calls it once a tick.
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "convert/args.hpp"
#include "convert/layouts.hpp"
#include "convert/outcome.hpp"
#include "history/record_reply.hpp"
#include "link/error.hpp"
#include "link/lazy_clock.hpp"
#include "protocol/enums.hpp"
#include "protocol/wire.hpp"

namespace qvn::history {
namespace {

constexpr std::uint32_t kTicksAheadCommand = 902;  // the Terminal's own

PyObject* invalid_arguments() noexcept { return convert::error_none(wire::kInvalidParams, "Invalid arguments"); }

}  // namespace

PyObject* py_ticks_ahead(PyObject*, PyObject* args) {
    link::reset_error();
    if (args == nullptr || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 3) return invalid_arguments();
    convert::SymbolName symbol;
    std::int64_t from_ms = 0, to_ms = 0;
    if (!convert::to_symbol(PyTuple_GET_ITEM(args, 0), symbol) || !convert::to_i64(PyTuple_GET_ITEM(args, 1), from_ms) ||
        !convert::to_i64(PyTuple_GET_ITEM(args, 2), to_ms))
        return invalid_arguments();
    const auto all = static_cast<std::int32_t>(enums::CopyTicks::All);
    return fetch_records({kTicksAheadCommand, symbol.view(), {i64(from_ms), i64(to_ms), i32(all)}},
                         sizeof(wire::TickRecord), convert::tick_layout());
}

// Takes no turn, so it leaves the last error alone (the strategy's, between
// its calls): a bad argument raises TypeError instead.
PyObject* py_lazy_clock(PyObject*, PyObject* args) {
    const Py_ssize_t n = args != nullptr && PyTuple_Check(args) ? PyTuple_GET_SIZE(args) : 0;
    std::int64_t target_ms = 0;
    if ((n != 1 && n != 2) || !convert::to_i64(PyTuple_GET_ITEM(args, 0), target_ms) || target_ms < 0 ||
        (n == 2 && !PyTuple_Check(PyTuple_GET_ITEM(args, 1)))) {
        PyErr_SetString(PyExc_TypeError, "_lazy_clock(target_ms >= 0[, tuple of symbol names])");
        return nullptr;
    }
    if (n == 2) {
        PyObject* given = PyTuple_GET_ITEM(args, 1);
        std::vector<std::u16string> names;
        try {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(given); ++i) {
                convert::SymbolName name;
                if (!convert::to_symbol(PyTuple_GET_ITEM(given, i), name)) {
                    PyErr_SetString(PyExc_TypeError, "_lazy_clock: a symbol name is not a str of 1 to 29 units");
                    return nullptr;
                }
                names.emplace_back(name.view());
            }
        } catch (...) {
            return PyErr_NoMemory();
        }
        if (!link::set_lazy_clock_names(names)) return PyErr_NoMemory();
    }
    link::set_lazy_clock(target_ms);
    Py_RETURN_TRUE;
}

}  // namespace qvn::history
