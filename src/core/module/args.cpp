#include "module/args.hpp"

namespace qvn::module {

bool str_to_utf16(PyObject* obj, char16_t* out, std::size_t capacity, std::size_t max_units,
                  std::size_t& length) noexcept {
    length = 0;
    if (obj == nullptr || !PyUnicode_Check(obj)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
    const int kind = PyUnicode_KIND(obj);
    const void* data = PyUnicode_DATA(obj);
    std::size_t units = 0;
    for (Py_ssize_t i = 0; i < n; ++i) units += PyUnicode_READ(kind, data, i) > 0xFFFF ? 2 : 1;
    if (units > max_units || units > capacity) return false;
    std::size_t w = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c > 0xFFFF) {
            out[w++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out[w++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out[w++] = static_cast<char16_t>(c);
        }
    }
    for (std::size_t i = w; i <= capacity; ++i) out[i] = 0;
    while (length < w && out[length] != 0) ++length;
    return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) noexcept {
    if (obj == nullptr || !PyLong_Check(obj)) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

bool to_u32(PyObject* obj, std::uint32_t& out) noexcept {
    std::uint64_t v = 0;
    if (!to_u64(obj, v) || v > 0xFFFFFFFFull) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool to_i64(PyObject* obj, std::int64_t& out) noexcept {
    if (obj == nullptr || !PyLong_Check(obj)) return false;
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

}  // namespace qvn::module
