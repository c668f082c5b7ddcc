/* The least a C function called from Python pays for a round trip: the
 * floor under a module call in bench/small_calls.py, which builds this file
 * as an extension module with the system's C compiler.
 *
 * call_floor.connect(endpoint, frames) connects, sends frames[0] and
 * frames[1] (hello and login) and reads their replies; call_floor.bound(i)
 * is a function taking no arguments, called as a module function is, that
 * makes the round trip of frames[i + 2] exactly as bench/raw_client.c does,
 * with the interpreter lock released around it as the module releases it,
 * and returns None: no tuple, no error state, no checks of the reply. */

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "round_trip.h"

enum { MAX_FRAMES = 34, REPLY_CAPACITY = 1 << 16 };

static int fd = -1;
static PyObject *frames[MAX_FRAMES];
static Py_ssize_t frame_count;
static unsigned char reply[REPLY_CAPACITY];

static PyObject *trip(PyObject *index, PyObject *unused) {
    (void)unused;
    PyObject *frame = frames[PyLong_AsSsize_t(index)];
    const unsigned char *bytes = (const unsigned char *)PyBytes_AS_STRING(frame);
    const size_t size = (size_t)PyBytes_GET_SIZE(frame);
    int failed;
    Py_BEGIN_ALLOW_THREADS
    failed = round_trip(fd, bytes, size, reply, sizeof reply);
    Py_END_ALLOW_THREADS
    if (failed) return PyErr_SetFromErrno(PyExc_OSError);
    Py_RETURN_NONE;
}

static PyMethodDef trip_def = {"trip", trip, METH_NOARGS, NULL};

static PyObject *bound(PyObject *module, PyObject *arg) {
    (void)module;
    const Py_ssize_t i = PyLong_AsSsize_t(arg);
    if (i == -1 && PyErr_Occurred()) return NULL;
    if (i < 0 || i + 2 >= frame_count) return PyErr_Format(PyExc_IndexError, "no request %zd", i);
    PyObject *index = PyLong_FromSsize_t(i + 2);
    if (index == NULL) return NULL;
    PyObject *function = PyCFunction_New(&trip_def, index);
    Py_DECREF(index);
    return function;
}

static PyObject *connect_to(PyObject *module, PyObject *args) {
    (void)module;
    const char *endpoint;
    PyObject *list;
    if (!PyArg_ParseTuple(args, "sO!", &endpoint, &PyList_Type, &list)) return NULL;
    if (fd >= 0 || PyList_GET_SIZE(list) < 2 || PyList_GET_SIZE(list) > MAX_FRAMES)
        return PyErr_Format(PyExc_ValueError, "connect once, with hello, login and at most %d requests",
                            MAX_FRAMES - 2);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (!PyBytes_Check(PyList_GET_ITEM(list, i))) return PyErr_Format(PyExc_TypeError, "frame %zd is not bytes", i);
    fd = connect_endpoint(endpoint);
    if (fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *frame = PyList_GET_ITEM(list, i);
        Py_INCREF(frame);
        frames[frame_count++] = frame;
    }
    for (int i = 0; i < 2; ++i)
        if (round_trip(fd, (const unsigned char *)PyBytes_AS_STRING(frames[i]), (size_t)PyBytes_GET_SIZE(frames[i]), reply,
                       sizeof reply) != 0)
            return PyErr_SetFromErrno(PyExc_OSError);
    Py_RETURN_NONE;
}

static PyObject *close_it(PyObject *module, PyObject *unused) {
    (void)module;
    (void)unused;
    if (fd >= 0) close(fd);
    fd = -1;
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"connect", connect_to, METH_VARARGS, NULL},
    {"bound", bound, METH_O, NULL},
    {"close", close_it, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "call_floor", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_call_floor(void) { return PyModule_Create(&definition); }
