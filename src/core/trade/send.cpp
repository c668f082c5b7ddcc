// order_check and order_send: the request dictionary (one positional
// argument, or the keywords themselves) goes out as one TradeRequestRecord;
// the result record comes back as a named tuple whose last item is the
// request that was sent.
#include "convert/outcome.hpp"
#include "convert/records.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "protocol/wire.hpp"
#include "trade/records.hpp"
#include "trade/request.hpp"

namespace qvn::trade {
namespace {

// The request object of a call: the single positional argument, or the
// keyword dictionary when keywords were given. Borrowed; null after an error.
PyObject* request_of(PyObject* args, PyObject* kwargs) noexcept {
    const Py_ssize_t given = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        if (given != 1) {
            link::set_error(wire::kInvalidParams, "Invalid number of arguments");
            return nullptr;
        }
        return PyTuple_GET_ITEM(args, 0);
    }
    if (given != 0) {
        link::set_error(wire::kInvalidParams, "Unnamed arguments not allowed");
        return nullptr;
    }
    return kwargs;
}

template <class Result>
PyObject* trade_call(std::uint32_t command, convert::TypeId type, PyObject* args, PyObject* kwargs) noexcept {
    link::reset_error();
    PyObject* request = request_of(args, kwargs);
    wire::TradeRequestRecord record;
    if (request == nullptr || !convert_trade_request(request, record)) {
        Py_INCREF(Py_None);
        return Py_None;
    }

    Result result;
    const std::int32_t code = link::transact(
        link::client().handle(), command, sizeof record,
        [&record](link::PipeWriter& w) noexcept { return w.put(record); }, read_record_reply(&result, sizeof result));
    if (code == wire::kAutoTradingDisabled && command == wire::kOrderSend)
        return convert::error_none(code, "Auto-Trading using Python API disabled in Terminal");
    if (code < 0) return convert::error_none(code);

    PyObject* sent = convert::make_record_tuple(convert::TypeId::TradeRequest, &record);
    PyObject* tuple = sent != nullptr ? convert::make_record_tuple(type, &result, sent) : nullptr;
    if (tuple == nullptr) return convert::error_none(wire::kFailed);
    return tuple;
}

}  // namespace

PyObject* py_order_check(PyObject*, PyObject* args, PyObject* kwargs) {
    return trade_call<wire::TradeCheckResultRecord>(wire::kOrderCheck, convert::TypeId::OrderCheckResult, args,
                                                    kwargs);
}

PyObject* py_order_send(PyObject*, PyObject* args, PyObject* kwargs) {
    return trade_call<wire::TradeSendResultRecord>(wire::kOrderSend, convert::TypeId::OrderSendResult, args,
                                                   kwargs);
}

}  // namespace qvn::trade
