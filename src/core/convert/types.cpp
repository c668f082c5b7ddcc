#include "convert/types.hpp"

#include "convert/fields.hpp"
#include "convert/outcome.hpp"
#include "protocol/wire.hpp"

namespace qvn::convert {
namespace {

struct TypeInfo {
    const char* name;
    const char* doc;
};

constexpr TypeInfo kInfos[kTypeCount] = {
    {"TradePosition", "Trade position structure"},
    {"TradeOrder", "Trade order structure"},
    {"TradeDeal", "Trade deal structure"},
    {"TradeRequest", "Trade request structure"},
    {"OrderSendResult", "order_send result structure"},
    {"OrderCheckResult", "order_check result structure"},
    {"Tick", "This is a structure for storing latest symbol prices"},
    {"TerminalInfo", "This is a structure for storing terminal information"},
    {"SymbolInfo", "This is a structure for storing symbol information"},
    {"AccountInfo", "This is a structure for storing account information"},
    {"BookInfo", "This is a structure for storing Depth of Market information"},
};

// The interpreter's view of each field table: names only, null-terminated.
// Filled from the tables at registration and kept for the process's life,
// as the types refer to them.
PyStructSequence_Field g_names[kTypeCount][kMaxFields + 1];
PyStructSequence_Desc g_descs[kTypeCount];

void describe(int i) noexcept {
    const std::span<const Field> fields = fields_of(static_cast<TypeId>(i));
    for (std::size_t f = 0; f < fields.size(); ++f) g_names[i][f] = {fields[f].name, nullptr};
    g_names[i][fields.size()] = {nullptr, nullptr};
    g_descs[i] = {kInfos[i].name, kInfos[i].doc, g_names[i], static_cast<int>(fields.size())};
}

PyTypeObject g_types[kTypeCount];
bool g_ready[kTypeCount];

// _asdict tries the types in this order; the first that matches decides.
constexpr TypeId kAsdictOrder[kTypeCount] = {
    TypeId::TradePosition, TypeId::TradeOrder, TypeId::TradeDeal, TypeId::OrderSendResult,
    TypeId::TradeRequest, TypeId::OrderCheckResult, TypeId::Tick, TypeId::TerminalInfo,
    TypeId::SymbolInfo, TypeId::AccountInfo, TypeId::BookInfo,
};

PyObject* asdict(PyObject* self, PyObject*) {
    if (self == nullptr) return error_none(wire::kInvalidParams, "Invalid object type");
    std::span<const Field> fields;
    bool found = false;
    for (TypeId id : kAsdictOrder) {
        PyTypeObject* type = type_of(id);
        if (type == nullptr) continue;
        const int match = PyObject_IsInstance(self, reinterpret_cast<PyObject*>(type));
        if (match < 0) PyErr_Clear();
        if (match == 1) {
            fields = fields_of(id);
            found = true;
            break;
        }
    }
    if (!found) return error_none(wire::kInvalidParams, "Invalid object type");
    const Py_ssize_t size = PyTuple_GET_SIZE(self);
    if (size != static_cast<Py_ssize_t>(fields.size()))
        return error_none(wire::kInvalidParams, "Invalid tuple size");
    PyObject* dict = PyDict_New();
    if (dict == nullptr) {
        PyErr_Clear();
        return error_none(wire::kOutOfMemory, "Can't create dictionary");
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyTuple_GET_ITEM(self, i);
        if (item != nullptr && PyDict_SetItemString(dict, fields[static_cast<std::size_t>(i)].name, item) < 0) {
            Py_DECREF(dict);
            PyErr_Clear();
            return error_none(wire::kOutOfMemory, "Can't create dictionary");
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
        describe(i);
        if (PyStructSequence_InitType2(&g_types[i], &g_descs[i]) < 0) {
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
        if (PyModule_AddObject(module, kInfos[i].name, type) < 0) {
            PyErr_Clear();
            Py_DECREF(type);
        }
        Py_DECREF(name);
    }
}

}  // namespace qvn::convert
