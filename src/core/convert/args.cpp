#include "convert/args.hpp"

#include <cstdint>

#include "convert/numpy.hpp"

namespace qvn::convert {

bool str_to_utf16(PyObject* obj, char16_t* out, std::size_t capacity, std::size_t max_units,
                  std::size_t& length) noexcept {
    length = 0;
    if (obj == nullptr || !PyUnicode_Check(obj)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
    const int kind = PyUnicode_KIND(obj);
    const void* data = PyUnicode_DATA(obj);
    std::size_t units = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == 0) return false;
        units += c > 0xFFFF ? 2 : 1;
    }
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
    length = w;
    return true;
}

namespace {

// Runs `convert` on the int an integer argument stands for: the argument
// itself when it is an int, else what its __index__ returns (owned here for
// the call). Any Python error is cleared: a refused value leaves none.
template <class Convert>
bool with_integer(PyObject* obj, Convert&& convert) noexcept {
    if (obj == nullptr) return false;
    bool ok = false;
    if (PyLong_Check(obj)) {
        ok = convert(obj);
    } else if (PyIndex_Check(obj) && !PyArray_IsScalar(obj, Bool)) {
        if (PyObject* value = PyNumber_Index(obj)) {
            ok = convert(value);
            Py_DECREF(value);
        }
    }
    if (!ok) PyErr_Clear();
    return ok;
}

}  // namespace

bool to_u64(PyObject* obj, std::uint64_t& out) noexcept {
    return with_integer(obj, [&out](PyObject* v) noexcept {
        const unsigned long long n = PyLong_AsUnsignedLongLong(v);
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out = n;
        return true;
    });
}

bool to_u32(PyObject* obj, std::uint32_t& out) noexcept {
    std::uint64_t v = 0;
    if (!to_u64(obj, v) || v > 0xFFFFFFFFull) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool to_i64(PyObject* obj, std::int64_t& out) noexcept {
    return with_integer(obj, [&out](PyObject* v) noexcept {
        const long long n = PyLong_AsLongLong(v);
        if (n == -1 && PyErr_Occurred()) return false;
        out = n;
        return true;
    });
}

bool to_i32(PyObject* obj, std::int32_t& out) noexcept {
    std::int64_t v = 0;
    if (!to_i64(obj, v) || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<std::int32_t>(v);
    return true;
}

bool to_u32_low_bits(PyObject* obj, std::uint32_t& out) noexcept {
    return with_integer(obj, [&out](PyObject* v) noexcept {
        const unsigned long long n = PyLong_AsUnsignedLongLongMask(v);
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out = static_cast<std::uint32_t>(n);
        return true;
    });
}

bool to_double(PyObject* obj, double& out) noexcept {
    if (obj == nullptr) return false;
    if (PyFloat_Check(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    if (!PyArray_IsScalar(obj, Floating)) return false;
    // float32 and float16 widen exactly; a long double rounds to nearest.
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

}  // namespace qvn::convert
