// Date arguments: a Python int, float or datetime.datetime to whole seconds;
// NumPy numbers count as the int or float they stand for (a bar's own
// `time` may be passed back as a date).
//
// The result is signed 32-bit seconds. Values outside that range are refused
// rather than wrapped or clamped: a wrapped date would ask the Terminal for a
// period the caller never meant, and the range already covers 1901 to 2038.
#include <cstdint>
#include <cstdio>
#include <limits>

#include "convert/args.hpp"
#include "convert/imports.hpp"
#include "convert/numpy.hpp"
#include "convert/outcome.hpp"

namespace qvn::convert {
namespace {

// Truncates toward zero. The bounds are exclusive and chosen so that every
// accepted value truncates into the 32-bit range (−2^31 − 0.5 truncates to
// −2^31); a float outside them, or NaN, which fails both comparisons, is
// never cast, since that cast would be undefined.
bool seconds_from_double(double value, std::int32_t& out) noexcept {
    constexpr double kBelowMin = -2147483649.0;  // −2^31 − 1
    constexpr double kAboveMax = 2147483648.0;   // 2^31
    if (!(value > kBelowMin && value < kAboveMax)) return false;
    out = static_cast<std::int32_t>(value);
    return true;
}


// Whatever timestamp() does (local time for a naive datetime, the offset of
// an aware one, an override in a subclass) decides the instant; its result
// is taken as a float. A raising timestamp() is a refused argument.
bool seconds_from_datetime(PyObject* obj, std::int32_t& out) noexcept {
    PyObject* stamp = PyObject_CallMethod(obj, "timestamp", nullptr);
    if (stamp == nullptr) {
        PyErr_Clear();
        return false;
    }
    const double value = PyFloat_AsDouble(stamp);
    Py_DECREF(stamp);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return seconds_from_double(value, out);
}

}  // namespace

bool to_seconds(PyObject* obj, std::int32_t& out) noexcept {
    if (obj == nullptr) return false;
    std::int64_t whole = 0;
    double seconds = 0.0;
    if (to_i64(obj, whole)) {
        if (whole < std::numeric_limits<std::int32_t>::min() || whole > std::numeric_limits<std::int32_t>::max())
            return false;
        out = static_cast<std::int32_t>(whole);
        return true;
    }
    if (to_double(obj, seconds)) return seconds_from_double(seconds, out);
    PyTypeObject* datetime = datetime_type();
    if (datetime != nullptr && PyObject_TypeCheck(obj, datetime)) return seconds_from_datetime(obj, out);
    return false;
}

// A value of a type taken was refused for its value (out of range, NaN, a
// timestamp() that failed); any other value for its type, which the message
// names: a numpy.datetime64, a datetime.date and a date text are the usual
// ones.
PyObject* refused_date(const char* name, PyObject* given) noexcept {
    PyTypeObject* datetime = datetime_type();
    const bool taken_type = given != nullptr && (PyLong_Check(given) || PyFloat_Check(given) ||
                                                 PyIndex_Check(given) || PyArray_IsScalar(given, Floating) ||
                                                 (datetime != nullptr && PyObject_TypeCheck(given, datetime)));
    char text[256];
    if (taken_type)
        std::snprintf(text, sizeof text,
                      "Invalid arguments: %s must lie from 1901-12-13 20:45:52 to 2038-01-19 03:14:07 UTC "
                      "(signed 32-bit POSIX seconds)",
                      name);
    else
        std::snprintf(text, sizeof text,
                      "Invalid arguments: %s is a %s; a date is POSIX seconds (an int or a float) "
                      "or a datetime.datetime",
                      name, given != nullptr ? Py_TYPE(given)->tp_name : "missing value");
    return error_none(wire::kInvalidParams, text);
}

}  // namespace qvn::convert
