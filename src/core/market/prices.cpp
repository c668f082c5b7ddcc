// The latest tick of a symbol and its selection in Market Watch:
// symbol_info_tick and symbol_select.
#include "convert/args.hpp"
#include "convert/outcome.hpp"
#include "convert/records.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "link/stream.hpp"
#include "protocol/wire.hpp"

namespace qvn::market {

PyObject* py_symbol_info_tick(PyObject*, PyObject* args) {
    link::reset_error();
    convert::SymbolName name;
    if (args == nullptr || PyTuple_GET_SIZE(args) != 1 || !convert::to_symbol(PyTuple_GET_ITEM(args, 0), name))
        return convert::error_none(wire::kInvalidParams, "Invalid arguments");
    wire::TickRecord tick;
    const std::int32_t code =
        link::send_command_text(link::client().handle(), wire::kSymbolInfoTick, name.view(),
                                [&tick](link::PipeReader& r) noexcept { return r.get(tick); });
    if (code < 0) return convert::error_none(code);
    PyObject* tuple = convert::make_record_tuple(convert::TypeId::Tick, &tick);
    if (tuple == nullptr) return convert::error_none(wire::kFailed);
    return tuple;
}

// symbol_select(symbol[, enable]): `enable` is read by its truth value and
// defaults to true.
PyObject* py_symbol_select(PyObject*, PyObject* args) {
    link::reset_error();
    const Py_ssize_t given = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    convert::SymbolName name;
    int enable = 1;
    if (given < 1 || given > 2 || !convert::to_symbol(PyTuple_GET_ITEM(args, 0), name))
        return convert::error_false(wire::kInvalidParams, "Invalid arguments");
    if (given == 2) {
        enable = PyObject_IsTrue(PyTuple_GET_ITEM(args, 1));
        if (enable < 0) {
            PyErr_Clear();
            return convert::error_false(wire::kInvalidParams, "Invalid arguments");
        }
    }
    const std::uint8_t flag = enable > 0 ? 1 : 0;
    const std::u16string_view text = name.view();
    const std::int32_t code = link::transact(
        link::client().handle(), wire::kSymbolSelect, link::text_size(text) + 1,
        [text, flag](link::PipeWriter& w) noexcept { return w.put_text(text) && w.put(flag); }, link::no_fields);
    if (code < 0) return convert::error_false(code);
    Py_RETURN_TRUE;
}

}  // namespace qvn::market
