// The tick and bar record layouts as NumPy structured data types.
//
// A record is at once the wire format and an array element: arrays of tick
// and bar history are the received record block itself. Each layout is
// therefore made from the record's one field table (fields.cpp: names,
// offsets and kinds from the wire struct, checked at compile time to cover
// the record without gaps), and checked again against what NumPy built, so
// that a NumPy that laid a field out differently would leave the layout
// absent instead of mislabelling bytes.
//
// The data types are made by NumPy's own converter from a
// {"names", "formats", "offsets", "itemsize"} dictionary; the descriptor is
// never written by hand, so one binary serves NumPy 1.x and 2.x, whose
// descriptor structs differ. Explicit offsets without "aligned" give a
// packed, non-aligned struct, as the wire records are.
#include "convert/layouts.hpp"

#include "convert/numpy.hpp"

#include <cstddef>
#include <span>

#include "convert/fields.hpp"
#include "protocol/wire.hpp"

namespace qvn::convert {
namespace {

// The NumPy type of a field's kind; -1 for a kind no array holds.
int numpy_type(Kind kind) noexcept {
    switch (kind) {
        case Kind::I64: return NPY_LONGLONG;
        case Kind::U64: return NPY_ULONGLONG;
        case Kind::F64: return NPY_DOUBLE;
        case Kind::U32: return NPY_UINT;
        case Kind::I32: return NPY_INT;
        case Kind::Bool:
        case Kind::Text:
        case Kind::Attached: break;
    }
    return -1;
}

// Process-wide, built once at import and never released: arrays hold
// references of their own, and the module is never unloaded.
PyArray_Descr* g_tick_layout = nullptr;
PyArray_Descr* g_bar_layout = nullptr;

// An owned reference for the length of a scope.
class Ref {
public:
    explicit Ref(PyObject* obj = nullptr) noexcept : obj_(obj) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }
    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_;
};

// Checks a descriptor NumPy made against the table it was made from.
bool matches(PyArray_Descr* descr, std::span<const Field> fields, std::size_t record_size) noexcept {
    if (descr->type_num != NPY_VOID || !PyDataType_HASFIELDS(descr)) return false;
    if (PyDataType_ELSIZE(descr) != static_cast<npy_intp>(record_size)) return false;
    if ((PyDataType_FLAGS(descr) & NPY_ALIGNED_STRUCT) != 0) return false;
    PyObject* names = PyDataType_NAMES(descr);
    PyObject* map = PyDataType_FIELDS(descr);
    if (names == nullptr || !PyTuple_Check(names) || map == nullptr || !PyDict_Check(map)) return false;
    if (PyTuple_GET_SIZE(names) != static_cast<Py_ssize_t>(fields.size())) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Field& f = fields[i];
        PyObject* name = PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(i));
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, f.name) != 0) return false;
        PyObject* entry = PyDict_GetItemString(map, f.name);  // borrowed; (descr, offset[, title])
        if (entry == nullptr || !PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) < 2) return false;
        PyObject* field_descr = PyTuple_GET_ITEM(entry, 0);
        PyObject* offset = PyTuple_GET_ITEM(entry, 1);
        if (!PyArray_DescrCheck(field_descr) || !PyLong_Check(offset)) return false;
        auto* fd = reinterpret_cast<PyArray_Descr*>(field_descr);
        if (fd->type_num != numpy_type(f.kind) || PyDataType_ELSIZE(fd) != static_cast<npy_intp>(f.width()))
            return false;
        if (PyLong_AsSsize_t(offset) != static_cast<Py_ssize_t>(f.offset)) return false;
    }
    return true;
}

// A new reference to the structured data type of `fields`, or null.
PyArray_Descr* make_layout(std::span<const Field> fields, std::size_t record_size) noexcept {
    const auto n = static_cast<Py_ssize_t>(fields.size());
    Ref names(PyList_New(n));
    Ref formats(PyList_New(n));
    Ref offsets(PyList_New(n));
    Ref itemsize(PyLong_FromSize_t(record_size));
    Ref description(PyDict_New());
    if (!names || !formats || !offsets || !itemsize || !description) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Field& f = fields[static_cast<std::size_t>(i)];
        if (numpy_type(f.kind) < 0) return nullptr;
        PyObject* name = PyUnicode_FromString(f.name);
        PyObject* format = reinterpret_cast<PyObject*>(PyArray_DescrFromType(numpy_type(f.kind)));
        PyObject* offset = PyLong_FromSize_t(f.offset);
        // PyList_SET_ITEM takes each reference; a null slot fails below.
        PyList_SET_ITEM(names.get(), i, name);
        PyList_SET_ITEM(formats.get(), i, format);
        PyList_SET_ITEM(offsets.get(), i, offset);
        if (name == nullptr || format == nullptr || offset == nullptr) return nullptr;
    }
    if (PyDict_SetItemString(description.get(), "names", names.get()) < 0 ||
        PyDict_SetItemString(description.get(), "formats", formats.get()) < 0 ||
        PyDict_SetItemString(description.get(), "offsets", offsets.get()) < 0 ||
        PyDict_SetItemString(description.get(), "itemsize", itemsize.get()) < 0)
        return nullptr;
    PyArray_Descr* descr = nullptr;
    if (PyArray_DescrConverter(description.get(), &descr) != NPY_SUCCEED || descr == nullptr) return nullptr;
    if (!matches(descr, fields, record_size)) {
        Py_DECREF(descr);
        return nullptr;
    }
    return descr;
}

}  // namespace

void build_layouts() noexcept {
    if (g_tick_layout == nullptr) g_tick_layout = make_layout(fields_of(TypeId::Tick), sizeof(wire::TickRecord));
    if (g_bar_layout == nullptr) g_bar_layout = make_layout(bar_fields(), sizeof(wire::BarRecord));
    // A layout that failed is reported later by the functions that need it;
    // the import itself goes on.
    PyErr_Clear();
}

PyArray_Descr* tick_layout() noexcept { return g_tick_layout; }
PyArray_Descr* bar_layout() noexcept { return g_bar_layout; }

}  // namespace qvn::convert
