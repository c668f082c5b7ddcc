#include "convert/types.hpp"

#include <cstring>

#include "convert/fields.hpp"
#include "convert/outcome.hpp"
#include "protocol/wire.hpp"

namespace qvn::convert {
namespace {

struct TypeInfo {
    const char* name;
    const char* doc;
};

// Each type is made under its qualified name, which gives it its
// __module__ and __qualname__, and then takes the bare name back, which
// keeps its repr "Tick(time=..., ...)": pickle and copy then find a record's
// type in this module by those two.
constexpr TypeInfo kInfos[kTypeCount] = {
    {"quorvane._core.TradePosition", "Trade position structure"},
    {"quorvane._core.TradeOrder", "Trade order structure"},
    {"quorvane._core.TradeDeal", "Trade deal structure"},
    {"quorvane._core.TradeRequest", "Trade request structure"},
    {"quorvane._core.OrderSendResult", "order_send result structure"},
    {"quorvane._core.OrderCheckResult", "order_check result structure"},
    {"quorvane._core.Tick", "This is a structure for storing latest symbol prices"},
    {"quorvane._core.TerminalInfo", "This is a structure for storing terminal information"},
    {"quorvane._core.SymbolInfo", "This is a structure for storing symbol information"},
    {"quorvane._core.AccountInfo", "This is a structure for storing account information"},
    {"quorvane._core.BookInfo", "This is a structure for storing Depth of Market information"},
};

const char* bare_name(int i) noexcept { return std::strrchr(kInfos[i].name, '.') + 1; }

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

// Made once, at the first registration, and kept for the process's life.
PyTypeObject* g_types[kTypeCount];

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

// Gives a new type its _asdict and its bare name, then makes it immutable,
// as the module's types always were.
bool finish(PyTypeObject* type, const char* name) noexcept {
    PyObject* as_type = reinterpret_cast<PyObject*>(type);
    PyObject* descr = PyDescr_NewMethod(type, &kAsdictDef);
    if (descr == nullptr) return false;
    const int added = PyObject_SetAttrString(as_type, "_asdict", descr);
    Py_DECREF(descr);
    PyObject* bare = PyUnicode_FromString(name);
    if (added < 0 || bare == nullptr) {
        Py_XDECREF(bare);
        return false;
    }
    const int renamed = PyObject_SetAttrString(as_type, "__name__", bare);
    Py_DECREF(bare);
    if (renamed < 0) return false;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type);
#endif
    return true;
}

}  // namespace

PyTypeObject* type_of(TypeId id) noexcept { return g_types[static_cast<int>(id)]; }

void register_types(PyObject* module) noexcept {
    for (int i = 0; i < kTypeCount; ++i) {
        if (g_types[i] == nullptr) {
            describe(i);
            PyTypeObject* made = PyStructSequence_NewType(&g_descs[i]);
            if (made == nullptr || !finish(made, bare_name(i))) {
                PyErr_Clear();
                Py_XDECREF(made);
                continue;
            }
            g_types[i] = made;  // the process's reference
        }
        PyObject* type = reinterpret_cast<PyObject*>(g_types[i]);
        Py_INCREF(type);  // the module's reference, handed over below
        if (PyModule_AddObject(module, bare_name(i), type) < 0) {
            PyErr_Clear();
            Py_DECREF(type);
        }
    }
}

}  // namespace qvn::convert
