// C interfaces of the interpreter that the module imports once at start-up.
#pragma once

#include <Python.h>

namespace qvn::module {

// The datetime.datetime type, from the interpreter's datetime C API.
PyTypeObject* datetime_type() noexcept;

}  // namespace qvn::module
