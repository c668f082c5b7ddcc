// copy_ticks_from, copy_ticks_range, copy_rates_from, copy_rates_from_pos and
// copy_rates_range: argument checks, then one history request each.
//
// Every function takes exactly four positional arguments. All checks run
// before anything is sent; a rejected argument records (-2, "Invalid
// arguments"), a rejected date says more (convert::refused_date), and no
// Python error is left pending.
#include <cstdint>

#include "convert/args.hpp"
#include "convert/layouts.hpp"
#include "convert/outcome.hpp"
#include "history/record_reply.hpp"
#include "link/error.hpp"
#include "protocol/wire.hpp"

namespace qvn::history {
namespace {

// 29 units of text in a buffer of 32 with its terminator.
using Symbol = convert::WideText<31>;

PyObject* invalid_arguments() noexcept { return convert::error_none(wire::kInvalidParams, "Invalid arguments"); }

// Exactly four positional arguments, borrowed from the tuple.
bool four(PyObject* args, PyObject* (&out)[4]) noexcept {
    if (args == nullptr || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 4) return false;
    for (Py_ssize_t i = 0; i < 4; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    return true;
}

bool symbol_arg(PyObject* obj, Symbol& out) noexcept { return convert::to_text(obj, wire::kSymbolUnits, out); }

// A date in seconds, times `scale` (ticks are asked for in milliseconds;
// 32-bit seconds × 1000 fits in 64 bits).
bool date_arg(PyObject* obj, std::int64_t scale, std::int64_t& out) noexcept {
    std::int32_t seconds = 0;
    if (!convert::to_seconds(obj, seconds)) return false;
    out = std::int64_t{seconds} * scale;
    return true;
}

PyObject* ticks(const HistoryRequest& request) noexcept {
    return fetch_records(request, sizeof(wire::TickRecord), convert::tick_layout());
}

PyObject* bars(const HistoryRequest& request) noexcept {
    return fetch_records(request, sizeof(wire::BarRecord), convert::bar_layout());
}

}  // namespace

PyObject* py_copy_ticks_from(PyObject*, PyObject* args) {
    link::reset_error();
    PyObject* arg[4];
    std::int32_t count = 0, flags = 0;
    Symbol symbol;
    std::int64_t from_ms = 0;
    if (!four(args, arg) || !symbol_arg(arg[0], symbol) || !convert::to_i32(arg[2], count) ||
        !convert::to_i32(arg[3], flags))
        return invalid_arguments();
    if (!date_arg(arg[1], 1000, from_ms)) return convert::refused_date("date_from", arg[1]);
    return ticks({wire::kTicksFrom, symbol.view(), {i64(from_ms), i32(count), i32(flags)}});
}

PyObject* py_copy_ticks_range(PyObject*, PyObject* args) {
    link::reset_error();
    PyObject* arg[4];
    std::int32_t flags = 0;
    Symbol symbol;
    std::int64_t from_ms = 0, to_ms = 0;
    if (!four(args, arg) || !symbol_arg(arg[0], symbol) || !convert::to_i32(arg[3], flags)) return invalid_arguments();
    if (!date_arg(arg[1], 1000, from_ms)) return convert::refused_date("date_from", arg[1]);
    if (!date_arg(arg[2], 1000, to_ms)) return convert::refused_date("date_to", arg[2]);
    return ticks({wire::kTicksRange, symbol.view(), {i64(from_ms), i64(to_ms), i32(flags)}});
}

PyObject* py_copy_rates_from(PyObject*, PyObject* args) {
    link::reset_error();
    PyObject* arg[4];
    std::int32_t timeframe = 0, count = 0;
    Symbol symbol;
    std::int64_t from_s = 0;
    if (!four(args, arg) || !symbol_arg(arg[0], symbol) || !convert::to_i32(arg[1], timeframe) ||
        !convert::to_i32(arg[3], count))
        return invalid_arguments();
    if (!date_arg(arg[2], 1, from_s)) return convert::refused_date("date_from", arg[2]);
    return bars({wire::kRatesFrom, symbol.view(), {i32(timeframe), i64(from_s), i32(count)}});
}

PyObject* py_copy_rates_from_pos(PyObject*, PyObject* args) {
    link::reset_error();
    PyObject* arg[4];
    std::int32_t timeframe = 0, start_pos = 0, count = 0;
    Symbol symbol;
    if (!four(args, arg) || !symbol_arg(arg[0], symbol) || !convert::to_i32(arg[1], timeframe) ||
        !convert::to_i32(arg[2], start_pos) || !convert::to_i32(arg[3], count))
        return invalid_arguments();
    return bars({wire::kRatesFromPos, symbol.view(), {i32(timeframe), i32(start_pos), i32(count)}});
}

PyObject* py_copy_rates_range(PyObject*, PyObject* args) {
    link::reset_error();
    PyObject* arg[4];
    std::int32_t timeframe = 0;
    Symbol symbol;
    std::int64_t from_s = 0, to_s = 0;
    if (!four(args, arg) || !symbol_arg(arg[0], symbol) || !convert::to_i32(arg[1], timeframe)) return invalid_arguments();
    if (!date_arg(arg[2], 1, from_s)) return convert::refused_date("date_from", arg[2]);
    if (!date_arg(arg[3], 1, to_s)) return convert::refused_date("date_to", arg[3]);
    return bars({wire::kRatesRange, symbol.view(), {i32(timeframe), i64(from_s), i64(to_s)}});
}

}  // namespace qvn::history
