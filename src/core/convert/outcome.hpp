// A failed call's outcome as the value the module function returns: the
// error state is set, and the function hands back None or False.
#pragma once

#include <Python.h>

#include <cstdint>

#include "link/error.hpp"

namespace qvn::convert {

inline PyObject* error_none(std::int32_t code, const char* text = nullptr) noexcept {
    link::set_error(code, text);
    Py_RETURN_NONE;
}

inline PyObject* error_false(std::int32_t code, const char* text = nullptr) noexcept {
    link::set_error(code, text);
    Py_RETURN_FALSE;
}

}  // namespace qvn::convert
