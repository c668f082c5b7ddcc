// order_calc_margin and order_calc_profit: the Terminal computes, the module
// only carries the arguments over and the one double back.
#include <array>

#include "convert/args.hpp"
#include "convert/outcome.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "link/stream.hpp"
#include "protocol/wire.hpp"

namespace qvn::market {
namespace {

// action (u32), symbol, then the doubles in order.
template <std::size_t N>
PyObject* calculate(std::uint32_t command, std::uint32_t action, std::u16string_view symbol,
                    const std::array<double, N>& values) noexcept {
    double result = 0.0;
    const std::int32_t code = link::transact(
        link::client().handle(), command, 4 + link::text_size(symbol) + 8 * N,
        [&](link::PipeWriter& w) noexcept {
            bool ok = w.put(action) && w.put_text(symbol);
            for (double v : values) ok = ok && w.put(v);
            return ok;
        },
        [&result](link::PipeReader& r) noexcept { return r.get(result); });
    if (code < 0) return convert::error_none(code);
    return PyFloat_FromDouble(result);
}

PyObject* invalid_arguments() noexcept { return convert::error_none(wire::kInvalidParams, "Invalid arguments"); }

// The interpreter's tuple parser on exactly `count` arguments; its error is
// discarded. The action comes first and is taken as any integer cut to its
// low 32 bits, so -1 becomes 0xFFFFFFFF; the doubles take what the parser's
// `d` takes (floats, ints, NumPy numbers).
template <class... Out>
bool parse(PyObject* args, Py_ssize_t count, const char* format, std::uint32_t& action, Out*... out) noexcept {
    PyObject* action_obj = nullptr;
    if (args == nullptr || PyTuple_GET_SIZE(args) != count) return false;
    if (PyArg_ParseTuple(args, format, &action_obj, out...) && convert::to_u32_low_bits(action_obj, action))
        return true;
    PyErr_Clear();
    return false;
}

}  // namespace

PyObject* py_order_calc_margin(PyObject*, PyObject* args) {
    link::reset_error();
    std::uint32_t action = 0;
    PyObject* symbol_obj = nullptr;
    double volume = 0.0, price = 0.0;
    convert::SymbolName symbol;
    if (!parse(args, 4, "OOdd", action, &symbol_obj, &volume, &price) || !convert::to_symbol(symbol_obj, symbol))
        return invalid_arguments();
    return calculate(wire::kOrderCalcMargin, action, symbol.view(), std::array{volume, price});
}

PyObject* py_order_calc_profit(PyObject*, PyObject* args) {
    link::reset_error();
    std::uint32_t action = 0;
    PyObject* symbol_obj = nullptr;
    double volume = 0.0, price_open = 0.0, price_close = 0.0;
    convert::SymbolName symbol;
    if (!parse(args, 5, "OOddd", action, &symbol_obj, &volume, &price_open, &price_close) ||
        !convert::to_symbol(symbol_obj, symbol))
        return invalid_arguments();
    return calculate(wire::kOrderCalcProfit, action, symbol.view(), std::array{volume, price_open, price_close});
}

}  // namespace qvn::market
