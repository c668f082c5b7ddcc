// Open positions and orders, the trade history, and checking and sending
// trade requests: the module functions of the trade room.
#pragma once

#include <Python.h>

namespace qvn::trade {

PyObject* py_positions_total(PyObject* self, PyObject* unused);
PyObject* py_positions_get(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_orders_total(PyObject* self, PyObject* unused);
PyObject* py_orders_get(PyObject* self, PyObject* args, PyObject* kwargs);

PyObject* py_history_orders_total(PyObject* self, PyObject* args);
PyObject* py_history_orders_get(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_history_deals_total(PyObject* self, PyObject* args);
PyObject* py_history_deals_get(PyObject* self, PyObject* args, PyObject* kwargs);

PyObject* py_order_check(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_order_send(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace qvn::trade
