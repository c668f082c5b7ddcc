// copy_ticks_from, copy_ticks_range, copy_rates_from, copy_rates_from_pos and
// copy_rates_range: argument checks, then one history request each.
//
// Every function takes exactly four positional arguments. All checks run
// before anything is sent; a rejected argument records (-2, "Invalid
// arguments") and leaves no Python error pending.
#include <cstdint>

#include "history/history.hpp"
#include "history/record_reply.hpp"
#include "link/error.hpp"
#include "module/args.hpp"
#include "protocol/wire.hpp"

namespace qvn::history {
namespace {

// 29 units of text in a buffer of 32 with its terminator.
using Symbol = module::WideText<31>;

PyObject* invalid_arguments() noexcept { return link::error_none(wire::kInvalidParams, "Invalid arguments"); }

// The tuple parser on exactly four arguments; its error is discarded.
template <class... Out>
bool parse_four(PyObject* args, const char* format, Out*... out) noexcept {
    static_assert(sizeof...(Out) == 4);
    if (args == nullptr || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 4) return false;
    if (PyArg_ParseTuple(args, format, out...)) return true;
    PyErr_Clear();
    return false;
}

bool symbol_arg(PyObject* obj, Symbol& out) noexcept { return module::to_text(obj, wire::kSymbolUnits, out); }

// Ticks are asked for in milliseconds; 32-bit seconds × 1000 fits in 64 bits.
bool milliseconds_arg(PyObject* obj, std::int64_t& out) noexcept {
    std::int32_t seconds = 0;
    if (!to_seconds(obj, seconds)) return false;
    out = std::int64_t{seconds} * 1000;
    return true;
}

bool seconds_arg(PyObject* obj, std::int64_t& out) noexcept {
    std::int32_t seconds = 0;
    if (!to_seconds(obj, seconds)) return false;
    out = seconds;
    return true;
}

PyObject* ticks(const HistoryRequest& request) noexcept {
    return fetch_records(request, sizeof(wire::TickRecord), tick_layout());
}

PyObject* bars(const HistoryRequest& request) noexcept {
    return fetch_records(request, sizeof(wire::BarRecord), bar_layout());
}

}  // namespace

PyObject* py_copy_ticks_from(PyObject*, PyObject* args) {
    link::reset_error();
    PyObject *symbol_obj = nullptr, *from_obj = nullptr;
    int count = 0, flags = 0;
    Symbol symbol;
    std::int64_t from_ms = 0;
    if (!parse_four(args, "OOii", &symbol_obj, &from_obj, &count, &flags) || !symbol_arg(symbol_obj, symbol) ||
        !milliseconds_arg(from_obj, from_ms))
        return invalid_arguments();
    return ticks({wire::kTicksFrom, symbol.view(), {i64(from_ms), i32(count), i32(flags)}});
}

PyObject* py_copy_ticks_range(PyObject*, PyObject* args) {
    link::reset_error();
    PyObject *symbol_obj = nullptr, *from_obj = nullptr, *to_obj = nullptr;
    int flags = 0;
    Symbol symbol;
    std::int64_t from_ms = 0, to_ms = 0;
    if (!parse_four(args, "OOOi", &symbol_obj, &from_obj, &to_obj, &flags) || !symbol_arg(symbol_obj, symbol) ||
        !milliseconds_arg(from_obj, from_ms) || !milliseconds_arg(to_obj, to_ms))
        return invalid_arguments();
    return ticks({wire::kTicksRange, symbol.view(), {i64(from_ms), i64(to_ms), i32(flags)}});
}

PyObject* py_copy_rates_from(PyObject*, PyObject* args) {
    link::reset_error();
    PyObject *symbol_obj = nullptr, *from_obj = nullptr;
    int timeframe = 0, count = 0;
    Symbol symbol;
    std::int64_t from_s = 0;
    if (!parse_four(args, "OiOi", &symbol_obj, &timeframe, &from_obj, &count) || !symbol_arg(symbol_obj, symbol) ||
        !seconds_arg(from_obj, from_s))
        return invalid_arguments();
    return bars({wire::kRatesFrom, symbol.view(), {i32(timeframe), i64(from_s), i32(count)}});
}

PyObject* py_copy_rates_from_pos(PyObject*, PyObject* args) {
    link::reset_error();
    PyObject* symbol_obj = nullptr;
    int timeframe = 0, start_pos = 0, count = 0;
    Symbol symbol;
    if (!parse_four(args, "Oiii", &symbol_obj, &timeframe, &start_pos, &count) || !symbol_arg(symbol_obj, symbol))
        return invalid_arguments();
    return bars({wire::kRatesFromPos, symbol.view(), {i32(timeframe), i32(start_pos), i32(count)}});
}

PyObject* py_copy_rates_range(PyObject*, PyObject* args) {
    link::reset_error();
    PyObject *symbol_obj = nullptr, *from_obj = nullptr, *to_obj = nullptr;
    int timeframe = 0;
    Symbol symbol;
    std::int64_t from_s = 0, to_s = 0;
    if (!parse_four(args, "OiOO", &symbol_obj, &timeframe, &from_obj, &to_obj) || !symbol_arg(symbol_obj, symbol) ||
        !seconds_arg(from_obj, from_s) || !seconds_arg(to_obj, to_s))
        return invalid_arguments();
    return bars({wire::kRatesRange, symbol.view(), {i32(timeframe), i64(from_s), i64(to_s)}});
}

}  // namespace qvn::history
