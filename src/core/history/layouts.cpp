// The tick and bar record layouts as NumPy structured data types.
//
// A record is at once the wire format and an array element: arrays of tick
// and bar history are the received record block itself. Each layout is
// therefore derived from its wire struct (offsets and widths by offsetof and
// sizeof), checked at compile time to tile the record without gaps, and
// checked again against what NumPy built, so that a NumPy that laid a field
// out differently would leave the layout absent instead of mislabelling
// bytes.
//
// The data types are made by NumPy's own converter from a
// {"names", "formats", "offsets", "itemsize"} dictionary; the descriptor is
// never written by hand, so one binary serves NumPy 1.x and 2.x, whose
// descriptor structs differ. Explicit offsets without "aligned" give a
// packed, non-aligned struct, as the wire records are.
#include "module/numpy.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <span>

#include "history/history.hpp"
#include "protocol/wire.hpp"

namespace qvn::history {
namespace {

struct LayoutField {
    const char* name;
    std::size_t offset;
    std::size_t width;
    int type_num;
};

#define QVN_FIELD(Record, member, type_num) \
    LayoutField { #member, offsetof(Record, member), sizeof(Record::member), type_num }

// Field order is the order of the names tuple and of the wire record.
constexpr std::array kTickFields = {
    QVN_FIELD(wire::TickRecord, time, NPY_LONGLONG),
    QVN_FIELD(wire::TickRecord, bid, NPY_DOUBLE),
    QVN_FIELD(wire::TickRecord, ask, NPY_DOUBLE),
    QVN_FIELD(wire::TickRecord, last, NPY_DOUBLE),
    QVN_FIELD(wire::TickRecord, volume, NPY_ULONGLONG),
    QVN_FIELD(wire::TickRecord, time_msc, NPY_LONGLONG),
    QVN_FIELD(wire::TickRecord, flags, NPY_UINT),
    QVN_FIELD(wire::TickRecord, volume_real, NPY_DOUBLE),
};

constexpr std::array kBarFields = {
    QVN_FIELD(wire::BarRecord, time, NPY_LONGLONG),
    QVN_FIELD(wire::BarRecord, open, NPY_DOUBLE),
    QVN_FIELD(wire::BarRecord, high, NPY_DOUBLE),
    QVN_FIELD(wire::BarRecord, low, NPY_DOUBLE),
    QVN_FIELD(wire::BarRecord, close, NPY_DOUBLE),
    QVN_FIELD(wire::BarRecord, tick_volume, NPY_ULONGLONG),
    QVN_FIELD(wire::BarRecord, spread, NPY_INT),
    QVN_FIELD(wire::BarRecord, real_volume, NPY_ULONGLONG),
};

#undef QVN_FIELD

// True when the fields follow each other without gaps and end at the
// record's end: every byte of a record belongs to exactly one field.
template <std::size_t N>
constexpr bool tiles(const std::array<LayoutField, N>& fields, std::size_t record_size) {
    std::size_t end = 0;
    for (const LayoutField& f : fields) {
        if (f.offset != end) return false;
        end += f.width;
    }
    return end == record_size;
}

static_assert(tiles(kTickFields, sizeof(wire::TickRecord)));
static_assert(tiles(kBarFields, sizeof(wire::BarRecord)));

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
bool matches(PyArray_Descr* descr, std::span<const LayoutField> fields, std::size_t record_size) noexcept {
    if (descr->type_num != NPY_VOID || !PyDataType_HASFIELDS(descr)) return false;
    if (PyDataType_ELSIZE(descr) != static_cast<npy_intp>(record_size)) return false;
    if ((PyDataType_FLAGS(descr) & NPY_ALIGNED_STRUCT) != 0) return false;
    PyObject* names = PyDataType_NAMES(descr);
    PyObject* map = PyDataType_FIELDS(descr);
    if (names == nullptr || !PyTuple_Check(names) || map == nullptr || !PyDict_Check(map)) return false;
    if (PyTuple_GET_SIZE(names) != static_cast<Py_ssize_t>(fields.size())) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const LayoutField& f = fields[i];
        PyObject* name = PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(i));
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, f.name) != 0) return false;
        PyObject* entry = PyDict_GetItemString(map, f.name);  // borrowed; (descr, offset[, title])
        if (entry == nullptr || !PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) < 2) return false;
        PyObject* field_descr = PyTuple_GET_ITEM(entry, 0);
        PyObject* offset = PyTuple_GET_ITEM(entry, 1);
        if (!PyArray_DescrCheck(field_descr) || !PyLong_Check(offset)) return false;
        auto* fd = reinterpret_cast<PyArray_Descr*>(field_descr);
        if (fd->type_num != f.type_num || PyDataType_ELSIZE(fd) != static_cast<npy_intp>(f.width)) return false;
        if (PyLong_AsSsize_t(offset) != static_cast<Py_ssize_t>(f.offset)) return false;
    }
    return true;
}

// A new reference to the structured data type of `fields`, or null.
PyArray_Descr* make_layout(std::span<const LayoutField> fields, std::size_t record_size) noexcept {
    const auto n = static_cast<Py_ssize_t>(fields.size());
    Ref names(PyList_New(n));
    Ref formats(PyList_New(n));
    Ref offsets(PyList_New(n));
    Ref itemsize(PyLong_FromSize_t(record_size));
    Ref description(PyDict_New());
    if (!names || !formats || !offsets || !itemsize || !description) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const LayoutField& f = fields[static_cast<std::size_t>(i)];
        PyObject* name = PyUnicode_FromString(f.name);
        PyObject* format = reinterpret_cast<PyObject*>(PyArray_DescrFromType(f.type_num));
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
    if (g_tick_layout == nullptr) g_tick_layout = make_layout(kTickFields, sizeof(wire::TickRecord));
    if (g_bar_layout == nullptr) g_bar_layout = make_layout(kBarFields, sizeof(wire::BarRecord));
    // A layout that failed is reported later by the functions that need it;
    // the import itself goes on.
    PyErr_Clear();
}

PyArray_Descr* tick_layout() noexcept { return g_tick_layout; }
PyArray_Descr* bar_layout() noexcept { return g_bar_layout; }

}  // namespace qvn::history
