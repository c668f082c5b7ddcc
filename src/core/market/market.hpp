// Terminal, account and symbol information, the latest prices, Depth of
// Market, and margin and profit calculation: the module functions of the
// market room.
#pragma once

#include <Python.h>

namespace qvn::market {

PyObject* py_terminal_info(PyObject* self, PyObject* unused);
PyObject* py_account_info(PyObject* self, PyObject* unused);

PyObject* py_symbols_total(PyObject* self, PyObject* unused);
PyObject* py_symbols_get(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_symbol_info(PyObject* self, PyObject* args);

PyObject* py_symbol_info_tick(PyObject* self, PyObject* args);
PyObject* py_symbol_select(PyObject* self, PyObject* args);

PyObject* py_market_book_add(PyObject* self, PyObject* args);
PyObject* py_market_book_release(PyObject* self, PyObject* args);
PyObject* py_market_book_get(PyObject* self, PyObject* args);

PyObject* py_order_calc_margin(PyObject* self, PyObject* args);
PyObject* py_order_calc_profit(PyObject* self, PyObject* args);

}  // namespace qvn::market
