// The module's named-tuple (struct sequence) types.
#pragma once

#include <Python.h>

namespace qvn::convert {

// Registry order, which is also the order the types are created in.
enum class TypeId : int {
    TradePosition,
    TradeOrder,
    TradeDeal,
    TradeRequest,
    OrderSendResult,
    OrderCheckResult,
    Tick,
    TerminalInfo,
    SymbolInfo,
    AccountInfo,
    BookInfo,
};
inline constexpr int kTypeCount = 11;

// The type, or null when it could not be initialised.
PyTypeObject* type_of(TypeId id) noexcept;

// Initialises the types and adds them, each with _asdict, to the module.
void register_types(PyObject* module) noexcept;

}  // namespace qvn::convert
