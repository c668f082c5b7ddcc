// The tick and bar records as NumPy structured data types.
#pragma once

#include <Python.h>

// NumPy's descriptor type, declared here so that users of this header need
// not include NumPy's API (which only convert/numpy.hpp may configure).
typedef struct _PyArray_Descr PyArray_Descr;

namespace qvn::convert {

// The tick and bar record layouts; borrowed references, null when the
// layout could not be built.
PyArray_Descr* tick_layout() noexcept;
PyArray_Descr* bar_layout() noexcept;

// Builds the tick and bar NumPy data types; called once at import, after
// NumPy's C API has been imported. A layout that cannot be built stays absent.
void build_layouts() noexcept;

}  // namespace qvn::convert
