// Price history and version: date arguments, the tick and bar record
// layouts, and the functions that return ticks and bars as NumPy arrays.
#pragma once

#include <Python.h>

#include <cstdint>

// NumPy's descriptor type, declared here so that users of this header need
// not include NumPy's API (which only module/numpy.hpp may configure).
typedef struct _PyArray_Descr PyArray_Descr;

namespace qvn::history {

// The date conversion shared by every function that takes a point in time:
// an int (bool included), a float (truncated toward zero) or a
// datetime.datetime (its timestamp(), truncated) to whole seconds. Values
// outside the signed 32-bit range of seconds, NaN and every other type are
// refused. Sets no error state and leaves no Python error pending.
bool to_seconds(PyObject* obj, std::int32_t& out) noexcept;

// The tick and bar record layouts as NumPy data types; borrowed references,
// null when the layout could not be built.
PyArray_Descr* tick_layout() noexcept;
PyArray_Descr* bar_layout() noexcept;

// Builds the tick and bar NumPy data types; called once at import, after
// NumPy's C API has been imported. A layout that cannot be built stays absent.
void build_layouts() noexcept;

PyObject* py_version(PyObject* self, PyObject* unused);
PyObject* py_copy_ticks_from(PyObject* self, PyObject* args);
PyObject* py_copy_ticks_range(PyObject* self, PyObject* args);
PyObject* py_copy_rates_from(PyObject* self, PyObject* args);
PyObject* py_copy_rates_from_pos(PyObject* self, PyObject* args);
PyObject* py_copy_rates_range(PyObject* self, PyObject* args);

}  // namespace qvn::history
