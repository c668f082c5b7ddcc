// The trade request dictionary to its wire record.
#pragma once

#include <Python.h>

#include "protocol/wire.hpp"

namespace qvn::trade {

// Fills `record` from a dict (or subclass). Known keys are examined in the
// record's field order; absent keys leave their field zero and other keys
// are ignored. The first rejected value records (-2, "Invalid \"key\"
// argument") and returns false; a request that is not a dict records
// (-2, "Invalid arguments"). No Python error is left pending either way.
bool convert_trade_request(PyObject* request, wire::TradeRequestRecord& record) noexcept;

}  // namespace qvn::trade
