// Includes NumPy's C API for the module's translation units. imports.cpp
// imports the API table; every other unit uses it through the shared symbol.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL qvn_numpy_api
#ifndef QVN_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>
