#include "module/types.hpp"

#include "link/error.hpp"
#include "protocol/wire.hpp"

namespace qvn::module {
namespace {

// Field names, in tuple order; the same tables name the _asdict keys.
PyStructSequence_Field kTradePositionFields[] = {
    {"ticket", nullptr}, {"time", nullptr}, {"time_msc", nullptr}, {"time_update", nullptr},
    {"time_update_msc", nullptr}, {"type", nullptr}, {"magic", nullptr}, {"identifier", nullptr},
    {"reason", nullptr}, {"volume", nullptr}, {"price_open", nullptr}, {"sl", nullptr}, {"tp", nullptr},
    {"price_current", nullptr}, {"swap", nullptr}, {"profit", nullptr}, {"symbol", nullptr},
    {"comment", nullptr}, {"external_id", nullptr},
    {nullptr, nullptr},
};

PyStructSequence_Field kTradeOrderFields[] = {
    {"ticket", nullptr}, {"time_setup", nullptr}, {"time_setup_msc", nullptr}, {"time_done", nullptr},
    {"time_done_msc", nullptr}, {"time_expiration", nullptr}, {"type", nullptr}, {"type_time", nullptr},
    {"type_filling", nullptr}, {"state", nullptr}, {"magic", nullptr}, {"position_id", nullptr},
    {"position_by_id", nullptr}, {"reason", nullptr}, {"volume_initial", nullptr},
    {"volume_current", nullptr}, {"price_open", nullptr}, {"sl", nullptr}, {"tp", nullptr},
    {"price_current", nullptr}, {"price_stoplimit", nullptr}, {"symbol", nullptr}, {"comment", nullptr},
    {"external_id", nullptr},
    {nullptr, nullptr},
};

PyStructSequence_Field kTradeDealFields[] = {
    {"ticket", nullptr}, {"order", nullptr}, {"time", nullptr}, {"time_msc", nullptr}, {"type", nullptr},
    {"entry", nullptr}, {"magic", nullptr}, {"position_id", nullptr}, {"reason", nullptr},
    {"volume", nullptr}, {"price", nullptr}, {"commission", nullptr}, {"swap", nullptr}, {"profit", nullptr},
    {"fee", nullptr}, {"symbol", nullptr}, {"comment", nullptr}, {"external_id", nullptr},
    {nullptr, nullptr},
};

PyStructSequence_Field kTradeRequestFields[] = {
    {"action", nullptr}, {"magic", nullptr}, {"order", nullptr}, {"symbol", nullptr}, {"volume", nullptr},
    {"price", nullptr}, {"stoplimit", nullptr}, {"sl", nullptr}, {"tp", nullptr}, {"deviation", nullptr},
    {"type", nullptr}, {"type_filling", nullptr}, {"type_time", nullptr}, {"expiration", nullptr},
    {"comment", nullptr}, {"position", nullptr}, {"position_by", nullptr},
    {nullptr, nullptr},
};

PyStructSequence_Field kOrderSendResultFields[] = {
    {"retcode", nullptr}, {"deal", nullptr}, {"order", nullptr}, {"volume", nullptr}, {"price", nullptr},
    {"bid", nullptr}, {"ask", nullptr}, {"comment", nullptr}, {"request_id", nullptr},
    {"retcode_external", nullptr}, {"request", nullptr},
    {nullptr, nullptr},
};

PyStructSequence_Field kOrderCheckResultFields[] = {
    {"retcode", nullptr}, {"balance", nullptr}, {"equity", nullptr}, {"profit", nullptr}, {"margin", nullptr},
    {"margin_free", nullptr}, {"margin_level", nullptr}, {"comment", nullptr}, {"request", nullptr},
    {nullptr, nullptr},
};

PyStructSequence_Field kTickFields[] = {
    {"time", nullptr}, {"bid", nullptr}, {"ask", nullptr}, {"last", nullptr}, {"volume", nullptr},
    {"time_msc", nullptr}, {"flags", nullptr}, {"volume_real", nullptr},
    {nullptr, nullptr},
};

PyStructSequence_Field kTerminalInfoFields[] = {
    {"community_account", nullptr}, {"community_connection", nullptr}, {"connected", nullptr},
    {"dlls_allowed", nullptr}, {"trade_allowed", nullptr}, {"tradeapi_disabled", nullptr},
    {"email_enabled", nullptr}, {"ftp_enabled", nullptr}, {"notifications_enabled", nullptr},
    {"bvid", nullptr}, {"build", nullptr}, {"maxbars", nullptr}, {"codepage", nullptr},
    {"ping_last", nullptr}, {"community_balance", nullptr}, {"retransmission", nullptr}, {"company", nullptr},
    {"name", nullptr}, {"language", nullptr}, {"path", nullptr}, {"data_path", nullptr},
    {"commondata_path", nullptr},
    {nullptr, nullptr},
};

PyStructSequence_Field kSymbolInfoFields[] = {
    {"custom", nullptr}, {"chart_mode", nullptr}, {"select", nullptr}, {"visible", nullptr},
    {"session_deals", nullptr}, {"session_buy_orders", nullptr}, {"session_sell_orders", nullptr},
    {"volume", nullptr}, {"volumehigh", nullptr}, {"volumelow", nullptr}, {"time", nullptr},
    {"digits", nullptr}, {"spread", nullptr}, {"spread_float", nullptr}, {"ticks_bookdepth", nullptr},
    {"trade_calc_mode", nullptr}, {"trade_mode", nullptr}, {"start_time", nullptr},
    {"expiration_time", nullptr}, {"trade_stops_level", nullptr}, {"trade_freeze_level", nullptr},
    {"trade_exemode", nullptr}, {"swap_mode", nullptr}, {"swap_rollover3days", nullptr},
    {"margin_hedged_use_leg", nullptr}, {"expiration_mode", nullptr}, {"filling_mode", nullptr},
    {"order_mode", nullptr}, {"order_gtc_mode", nullptr}, {"option_mode", nullptr}, {"option_right", nullptr},
    {"bid", nullptr}, {"bidhigh", nullptr}, {"bidlow", nullptr}, {"ask", nullptr}, {"askhigh", nullptr},
    {"asklow", nullptr}, {"last", nullptr}, {"lasthigh", nullptr}, {"lastlow", nullptr},
    {"volume_real", nullptr}, {"volumehigh_real", nullptr}, {"volumelow_real", nullptr},
    {"option_strike", nullptr}, {"point", nullptr}, {"trade_tick_value", nullptr},
    {"trade_tick_value_profit", nullptr}, {"trade_tick_value_loss", nullptr}, {"trade_tick_size", nullptr},
    {"trade_contract_size", nullptr}, {"trade_accrued_interest", nullptr}, {"trade_face_value", nullptr},
    {"trade_liquidity_rate", nullptr}, {"volume_min", nullptr}, {"volume_max", nullptr},
    {"volume_step", nullptr}, {"volume_limit", nullptr}, {"swap_long", nullptr}, {"swap_short", nullptr},
    {"margin_initial", nullptr}, {"margin_maintenance", nullptr}, {"session_volume", nullptr},
    {"session_turnover", nullptr}, {"session_interest", nullptr}, {"session_buy_orders_volume", nullptr},
    {"session_sell_orders_volume", nullptr}, {"session_open", nullptr}, {"session_close", nullptr},
    {"session_aw", nullptr}, {"session_price_settlement", nullptr}, {"session_price_limit_min", nullptr},
    {"session_price_limit_max", nullptr}, {"margin_hedged", nullptr}, {"price_change", nullptr},
    {"price_volatility", nullptr}, {"price_theoretical", nullptr}, {"price_greeks_delta", nullptr},
    {"price_greeks_theta", nullptr}, {"price_greeks_gamma", nullptr}, {"price_greeks_vega", nullptr},
    {"price_greeks_rho", nullptr}, {"price_greeks_omega", nullptr}, {"price_sensitivity", nullptr},
    {"basis", nullptr}, {"category", nullptr}, {"currency_base", nullptr}, {"currency_profit", nullptr},
    {"currency_margin", nullptr}, {"bank", nullptr}, {"description", nullptr}, {"exchange", nullptr},
    {"formula", nullptr}, {"isin", nullptr}, {"name", nullptr}, {"page", nullptr}, {"path", nullptr},
    {nullptr, nullptr},
};

PyStructSequence_Field kAccountInfoFields[] = {
    {"login", nullptr}, {"trade_mode", nullptr}, {"leverage", nullptr}, {"limit_orders", nullptr},
    {"margin_so_mode", nullptr}, {"trade_allowed", nullptr}, {"trade_expert", nullptr},
    {"margin_mode", nullptr}, {"currency_digits", nullptr}, {"fifo_close", nullptr}, {"balance", nullptr},
    {"credit", nullptr}, {"profit", nullptr}, {"equity", nullptr}, {"margin", nullptr},
    {"margin_free", nullptr}, {"margin_level", nullptr}, {"margin_so_call", nullptr},
    {"margin_so_so", nullptr}, {"margin_initial", nullptr}, {"margin_maintenance", nullptr},
    {"assets", nullptr}, {"liabilities", nullptr}, {"commission_blocked", nullptr}, {"name", nullptr},
    {"server", nullptr}, {"currency", nullptr}, {"company", nullptr},
    {nullptr, nullptr},
};

PyStructSequence_Field kBookInfoFields[] = {
    {"type", nullptr}, {"price", nullptr}, {"volume", nullptr}, {"volume_dbl", nullptr},
    {nullptr, nullptr},
};

PyStructSequence_Desc kDescs[kTypeCount] = {
    {"TradePosition", "Trade position structure", kTradePositionFields, 19},
    {"TradeOrder", "Trade order structure", kTradeOrderFields, 24},
    {"TradeDeal", "Trade deal structure", kTradeDealFields, 18},
    {"TradeRequest", "Trade request structure", kTradeRequestFields, 17},
    {"OrderSendResult", "order_send result structure", kOrderSendResultFields, 11},
    {"OrderCheckResult", "order_check result structure", kOrderCheckResultFields, 9},
    {"Tick", "This is a structure for storing latest symbol prices", kTickFields, 8},
    {"TerminalInfo", "This is a structure for storing terminal information", kTerminalInfoFields, 22},
    {"SymbolInfo", "This is a structure for storing symbol information", kSymbolInfoFields, 96},
    {"AccountInfo", "This is a structure for storing account information", kAccountInfoFields, 28},
    {"BookInfo", "This is a structure for storing Depth of Market information", kBookInfoFields, 4},
};

PyTypeObject g_types[kTypeCount];
bool g_ready[kTypeCount];

// _asdict tries the types in this order; the first that matches decides.
constexpr TypeId kAsdictOrder[kTypeCount] = {
    TypeId::TradePosition, TypeId::TradeOrder, TypeId::TradeDeal, TypeId::OrderSendResult,
    TypeId::TradeRequest, TypeId::OrderCheckResult, TypeId::Tick, TypeId::TerminalInfo,
    TypeId::SymbolInfo, TypeId::AccountInfo, TypeId::BookInfo,
};

PyObject* asdict(PyObject* self, PyObject*) {
    if (self == nullptr) return link::error_none(wire::kInvalidParams, "Invalid object type");
    const PyStructSequence_Desc* desc = nullptr;
    for (TypeId id : kAsdictOrder) {
        PyTypeObject* type = type_of(id);
        if (type == nullptr) continue;
        const int match = PyObject_IsInstance(self, reinterpret_cast<PyObject*>(type));
        if (match < 0) PyErr_Clear();
        if (match == 1) {
            desc = &kDescs[static_cast<int>(id)];
            break;
        }
    }
    if (desc == nullptr) return link::error_none(wire::kInvalidParams, "Invalid object type");
    const Py_ssize_t size = PyTuple_GET_SIZE(self);
    if (size != desc->n_in_sequence) return link::error_none(wire::kInvalidParams, "Invalid tuple size");
    PyObject* dict = PyDict_New();
    if (dict == nullptr) {
        PyErr_Clear();
        return link::error_none(wire::kOutOfMemory, "Can't create dictionary");
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyTuple_GET_ITEM(self, i);
        if (item != nullptr && PyDict_SetItemString(dict, desc->fields[i].name, item) < 0) {
            Py_DECREF(dict);
            PyErr_Clear();
            return link::error_none(wire::kOutOfMemory, "Can't create dictionary");
        }
    }
    return dict;
}

PyMethodDef kAsdictDef = {"_asdict", asdict, METH_NOARGS, "Convert named tuple object to dictionary"};

}  // namespace

PyTypeObject* type_of(TypeId id) noexcept {
    const int i = static_cast<int>(id);
    return g_ready[i] ? &g_types[i] : nullptr;
}

void register_types(PyObject* module) noexcept {
    for (int i = 0; i < kTypeCount; ++i) {
        PyObject* name = PyUnicode_InternFromString("_asdict");
        if (name == nullptr) {
            PyErr_Clear();
            continue;
        }
        if (PyStructSequence_InitType2(&g_types[i], &kDescs[i]) < 0) {
            PyErr_Clear();
            Py_DECREF(name);
            continue;
        }
        g_ready[i] = true;
        PyObject* type = reinterpret_cast<PyObject*>(&g_types[i]);
        Py_INCREF(type);  // the module's reference, handed over below
        if (PyObject* descr = PyDescr_NewMethod(&g_types[i], &kAsdictDef)) {
            // The type's own setattr refuses static types; the generic one
            // writes the type's dictionary directly.
            if (PyObject_GenericSetAttr(type, name, descr) < 0) PyErr_Clear();
            PyType_Modified(&g_types[i]);
            Py_DECREF(descr);
        } else {
            PyErr_Clear();
        }
        if (PyModule_AddObject(module, kDescs[i].name, type) < 0) {
            PyErr_Clear();
            Py_DECREF(type);
        }
        Py_DECREF(name);
    }
}

}  // namespace qvn::module
