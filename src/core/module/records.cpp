#include "module/records.hpp"

#include <cstring>

#include "protocol/text.hpp"

namespace qvn::module {
namespace {

template <class T>
T load(const std::uint8_t* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

}  // namespace

PyObject* text_to_str(const char16_t* text, std::size_t units) noexcept {
    const std::size_t n = protocol::bounded_length(text, units);
    int byteorder = -1;  // little-endian, no byte-order mark expected
    return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text), static_cast<Py_ssize_t>(2 * n),
                                 "surrogatepass", &byteorder);
}

PyObject* field_value(const FieldRow& row, const std::uint8_t* record) noexcept {
    const std::uint8_t* p = record + row.offset;
    switch (row.kind) {
        case Kind::Bool: return PyBool_FromLong(*p != 0);
        case Kind::U32: return PyLong_FromUnsignedLong(load<std::uint32_t>(p));
        case Kind::I32: return PyLong_FromLong(load<std::int32_t>(p));
        case Kind::U64: return PyLong_FromUnsignedLongLong(load<std::uint64_t>(p));
        case Kind::I64: return PyLong_FromLongLong(load<std::int64_t>(p));
        case Kind::F64: return PyFloat_FromDouble(load<double>(p));
        case Kind::Text: {
            // The record may sit at any address: copy the units out first.
            char16_t units[512];
            const std::size_t n = row.units < 512 ? row.units : 512;
            std::memcpy(units, p, 2 * n);
            return text_to_str(units, n);
        }
    }
    return nullptr;
}

PyObject* make_record_tuple(TypeId type, std::span<const FieldRow> rows, const void* record) noexcept {
    PyTypeObject* tuple_type = type_of(type);
    if (tuple_type == nullptr) return nullptr;
    PyObject* tuple = PyStructSequence_New(tuple_type);
    if (tuple == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(record);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyObject* value = field_value(rows[i], bytes);
        if (value == nullptr) {
            PyErr_Clear();
            Py_DECREF(tuple);
            return nullptr;
        }
        PyStructSequence_SetItem(tuple, static_cast<Py_ssize_t>(i), value);
    }
    return tuple;
}

}  // namespace qvn::module
