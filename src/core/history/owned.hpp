// An owned Python reference: released when its holder goes, handed on by
// release() or by a move.
#pragma once

#include <Python.h>

namespace qvn::history {

class Owned {
public:
    explicit Owned(PyObject* obj = nullptr) noexcept : obj_(obj) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : obj_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Owned() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    // Takes `obj` and lets go of what was held.
    void reset(PyObject* obj = nullptr) noexcept {
        PyObject* old = obj_;
        obj_ = obj;
        Py_XDECREF(old);
    }

private:
    PyObject* obj_;
};

}  // namespace qvn::history
