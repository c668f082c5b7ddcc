// Terminal and account information.
#pragma once

#include <Python.h>

namespace qvn::market {

PyObject* py_terminal_info(PyObject* self, PyObject* unused);
PyObject* py_account_info(PyObject* self, PyObject* unused);

}  // namespace qvn::market
