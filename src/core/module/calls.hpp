// One call at a time, and other threads running while it waits.
//
// Every module function that talks to the Terminal or changes the
// connection holds the call lock from its first step to its last, so one
// request is in flight at a time, replies are never crossed and the error
// state belongs to one call. The lock is taken without the interpreter lock
// (a thread waiting for it lets every other thread run, the holder included),
// and the holder lets go of the interpreter lock in every blocking wait.
//
// initialize and shutdown interrupt the call in flight: its transfer or wait
// fails as a lost connection would, it ends, and they go next, ahead of the
// calls waiting for their turn. A call made
// again on the same thread while it holds the lock (a Python callback run
// during argument conversion) goes through without waiting for itself, with
// an outcome of its own; while a request or its reply is on the wire, such a
// call sends nothing (see link::InFlight).
#pragma once

#include <Python.h>

#include <optional>
#include <type_traits>

#include "link/error.hpp"

namespace qvn::module {

// Installs the blocking-wait hooks. In a test build, QVN_TEST_HOLD_GIL=1 in
// the environment keeps the interpreter lock through every wait, as the
// module did before; the benchmarks measure both ways side by side.
void install_wait_hooks() noexcept;

class Call {
public:
    enum class Kind { Ordinary, Interrupting };
    explicit Call(Kind kind = Kind::Ordinary) noexcept;
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

private:
    // Set for a call made again on this thread, while the outer call holds
    // the lock: the outer call's error state, put aside.
    std::optional<link::ErrorState> outer_;
};

// The function `F` run as one call of `kind`, as the method table stores it.
template <Call::Kind K, auto F>
PyCFunction locked() noexcept {
    if constexpr (std::is_invocable_v<decltype(F), PyObject*, PyObject*, PyObject*>) {
        PyObject* (*call)(PyObject*, PyObject*, PyObject*) = [](PyObject* self, PyObject* args,
                                                                PyObject* kwargs) -> PyObject* {
            const Call one(K);
            return F(self, args, kwargs);
        };
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call));
    } else {
        return [](PyObject* self, PyObject* args) -> PyObject* {
            const Call one(K);
            return F(self, args);
        };
    }
}

}  // namespace qvn::module
