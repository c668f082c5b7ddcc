// _records_call(native, records): the package's `_get` functions. Each calls
// its native function and hands back a tuple of records as `records`, a
// subclass of tuple that names the record type. Written here rather than in
// Python because a Python wrapper (its frame, its keyword dict, and tuple's
// constructor copying the result) cost half again the native call, and a
// backtest makes one of these calls at nearly every step.
//
// The object passes its arguments on as they came (vectorcall to
// vectorcall), takes no call lock of its own (the native function takes its
// turn), and keeps the attributes functools.update_wrapper gives it
// (__wrapped__, __name__, __doc__ ...) in its own dict, so help() and
// inspect.signature describe it as the native function. It has a __get__
// that returns itself, as a built-in function does, which also makes
// inspect and pydoc treat it as a routine; it pickles by its name.
#include <Python.h>

#include <cstddef>

#include "module/described.hpp"

namespace qvn::module {
namespace {

struct RecordsCall {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* native;
    PyTypeObject* records;
    PyObject* dict;
};

RecordsCall* as_call(PyObject* self) noexcept { return reinterpret_cast<RecordsCall*>(self); }

PyObject* call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    RecordsCall* c = as_call(self);
    PyObject* result = PyObject_Vectorcall(c->native, args, nargsf, kwnames);
    if (result == nullptr || !PyTuple_CheckExact(result)) return result;
    // What tuple's constructor does for a subclass, without going through
    // an iterator: the same items, one more reference each.
    const Py_ssize_t n = PyTuple_GET_SIZE(result);
    PyObject* typed = c->records->tp_alloc(c->records, n);
    if (typed != nullptr) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(result, i);
            Py_INCREF(item);
            PyTuple_SET_ITEM(typed, i, item);
        }
    }
    Py_DECREF(result);
    return typed;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    RecordsCall* c = as_call(self);
    Py_VISIT(c->native);
    Py_VISIT(reinterpret_cast<PyObject*>(c->records));
    Py_VISIT(c->dict);
    return 0;
}

int clear(PyObject* self) {
    RecordsCall* c = as_call(self);
    Py_CLEAR(c->native);
    Py_CLEAR(c->records);
    Py_CLEAR(c->dict);
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    clear(self);
    Py_TYPE(self)->tp_free(self);
}

// Its qualified name, as update_wrapper set it (else the native's).
PyObject* name_of(PyObject* self) noexcept {
    PyObject* name = PyObject_GetAttrString(self, "__qualname__");
    if (name == nullptr || !PyUnicode_Check(name)) {
        Py_XDECREF(name);
        PyErr_Clear();
        name = PyObject_GetAttrString(as_call(self)->native, "__name__");
    }
    return name;
}

PyObject* repr(PyObject* self) {
    PyObject* name = name_of(self);
    if (name == nullptr) return nullptr;
    PyObject* text = PyUnicode_FromFormat("<function %S at %p>", name, self);
    Py_DECREF(name);
    return text;
}

// Pickled as a reference to the global of that name in its __module__.
PyObject* reduce(PyObject* self, PyObject*) { return name_of(self); }

PyObject* get(PyObject* self, PyObject*, PyObject*) {
    Py_INCREF(self);
    return self;
}

PyMethodDef kMethods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject kRecordsCallType = [] {
    // A static type holds a reference to itself for good; PyType_Ready
    // sets its own type.
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "quorvane._core._RecordsCall";
    t.tp_basicsize = sizeof(RecordsCall);
    t.tp_dealloc = dealloc;
    t.tp_vectorcall_offset = offsetof(RecordsCall, vectorcall);
    t.tp_repr = repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = "A function of the package that returns records in a tuple naming their type.";
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_methods = kMethods;
    t.tp_getset = kGetSet;
    t.tp_descr_get = get;
    t.tp_dictoffset = offsetof(RecordsCall, dict);
    return t;
}();

}  // namespace

PyObject* py_records_call(PyObject*, PyObject* args) {
    PyObject* native = nullptr;
    PyObject* records = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_records_call", &native, &records)) return nullptr;
    if (!PyCallable_Check(native) || !PyType_Check(records) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(records), &PyTuple_Type)) {
        PyErr_SetString(PyExc_TypeError, "_records_call takes a callable and a subclass of tuple");
        return nullptr;
    }
    if (PyType_Ready(&kRecordsCallType) < 0) return nullptr;
    RecordsCall* c = PyObject_GC_New(RecordsCall, &kRecordsCallType);
    if (c == nullptr) return nullptr;
    c->vectorcall = call;
    Py_INCREF(native);
    c->native = native;
    Py_INCREF(records);
    c->records = reinterpret_cast<PyTypeObject*>(records);
    c->dict = nullptr;
    PyObject_GC_Track(c);
    return reinterpret_cast<PyObject*>(c);
}

}  // namespace qvn::module
