// initialize, login and shutdown: opening, authorising and closing the
// module's connection to a Terminal.
#pragma once

#include <Python.h>

#include <cstdint>

namespace qvn::link {

// The Terminal's build from the last handshake; 0 before the first one.
std::uint32_t terminal_build() noexcept;

PyObject* py_initialize(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_login(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_shutdown(PyObject* self, PyObject* unused);

}  // namespace qvn::link
