// The C interfaces of the interpreter and NumPy that the conversions use,
// imported once as the module is imported.
#pragma once

#include <Python.h>

namespace qvn::convert {

// Imports the datetime C API and NumPy's C API. False, with a Python error
// set, when either cannot be had: the module cannot take its date arguments
// or build its arrays without them, so its import fails.
bool import_c_apis() noexcept;

// The datetime.datetime type, from the interpreter's datetime C API.
PyTypeObject* datetime_type() noexcept;

}  // namespace qvn::convert
