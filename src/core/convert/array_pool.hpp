// Storage for the large arrays the module hands out, kept for reuse.
//
// A program that reads 10 M ticks in a loop would otherwise take fresh memory
// from the system for every array and pay for the system zeroing each page on
// first touch. While a PooledArrays scope is open, the NumPy arrays created
// on its thread take their storage from this module's memory handler: blocks
// of 4 MiB and more are mapped directly and, once NumPy frees them (when the
// last array or view over them is gone), kept for the next array instead of
// being unmapped. Only arrays created inside a scope use the handler, and
// they keep using it when resized or freed later, from any thread, also after
// the module was shut down.
//
// The pool is bounded: at most two idle blocks, each given back to the system
// once it has been idle for 30 seconds (checked whenever a scope opens or a
// block comes back), and all of them at shutdown().
#pragma once

#include <Python.h>

#include <cstddef>

namespace qvn::convert {

class PooledArrays {
public:
    // `expected`: bytes the array will likely grow to; an idle block that
    // large is preferred. A hint only: storage follows what is asked for.
    explicit PooledArrays(std::size_t expected) noexcept;
    PooledArrays(const PooledArrays&) = delete;
    PooledArrays& operator=(const PooledArrays&) = delete;
    ~PooledArrays();

    // Whether arrays created now use the pool (false when NumPy refused the handler).
    bool active() const noexcept { return previous_ != nullptr; }

private:
    PyObject* previous_ = nullptr;  // the handler this scope replaced
    std::size_t saved_expected_ = 0;
};

// Gives back the part of the block of `data` (storage of an array created
// while a scope was active) beyond its first `bytes`, when that part is large: a reused block
// can be larger than the array now made in it.
void fit_pooled(void* data, std::size_t bytes) noexcept;

// Gives every idle block back to the system.
void release_idle_blocks() noexcept;

}  // namespace qvn::convert
