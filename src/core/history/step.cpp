// _step(target_ms, timeframe, symbols, before, after): one step of a
// stepped clock in one exchange (the Terminal's own command 901), for the
// backtest's driver. Private: not one of the module's public functions.
//
// It goes over the module's own connection like any call (under the call
// lock, through the same framed stream), and answers the clock after the
// step, the next tick, the bars of each named symbol that closed during the
// step (a NumPy array each, of the layout copy_rates_* returns) and, where
// asked for, the account's funds before and after the step.
#include <Python.h>

#include "convert/numpy.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "convert/args.hpp"
#include "convert/layouts.hpp"
#include "convert/outcome.hpp"
#include "history/owned.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "link/stream.hpp"
#include "protocol/wire.hpp"

namespace qvn::history {
namespace {

// The Terminal drops a client whose request frame (the bytes after its
// length field) is larger than this.
constexpr std::uint64_t kMaxRequestBytes = 64u << 10;

PyObject* invalid_arguments() noexcept { return convert::error_none(wire::kInvalidParams, "Invalid arguments"); }

// An array of `count` bars, its memory NumPy's own (NPY_ARRAY_OWNDATA, no
// base object) and not yet written; null, with no Python error left set,
// when it cannot be made.
PyObject* new_bars(std::uint32_t count) noexcept {
    PyArray_Descr* layout = convert::bar_layout();
    if (layout == nullptr || PyDataType_ELSIZE(layout) != static_cast<npy_intp>(sizeof(wire::BarRecord))) return nullptr;
    npy_intp length = count;
    Py_INCREF(layout);  // PyArray_NewFromDescr takes this reference, also when it fails
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, layout, 1, &length, nullptr, nullptr, 0, nullptr);
    if (array == nullptr) PyErr_Clear();
    return array;
}

// The reply after echo and result: the head, then per symbol a count,
// checked against the frame before its array is made, and the records read
// straight into the array. `bars` (a tuple of the symbols' length) takes
// each array as it is made.
struct StepReply {
    wire::StepRecord head{};
    PyObject* bars = nullptr;
    bool out_of_memory = false;

    bool read(link::PipeReader& reader) noexcept {
        if (!reader.get(head)) return false;
        const Py_ssize_t n = PyTuple_GET_SIZE(bars);
        for (Py_ssize_t i = 0; i < n; ++i) {
            std::uint32_t count = 0;
            std::size_t bytes = 0;
            if (!link::read_record_count(reader, sizeof(wire::BarRecord), count, bytes)) return false;
            PyObject* array = new_bars(count);
            if (array == nullptr) {
                out_of_memory = true;
                return false;
            }
            PyTuple_SET_ITEM(bars, i, array);
            if (bytes > 0 && !reader.read(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), bytes)) return false;
        }
        return true;
    }
};

// (balance, equity, margin), or None when they were not asked for.
PyObject* funds(wire::AccountFundsRecord f, bool asked) noexcept {
    if (!asked) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    const double balance = f.balance, equity = f.equity, margin = f.margin;
    return Py_BuildValue("(ddd)", balance, equity, margin);
}

// A bool argument: True or False only.
bool to_flag(PyObject* obj, bool& out) noexcept {
    if (!PyBool_Check(obj)) return false;
    out = obj == Py_True;
    return true;
}

}  // namespace

PyObject* py_step(PyObject*, PyObject* args) {
    link::reset_error();
    if (args == nullptr || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 5) return invalid_arguments();
    std::int64_t target_ms = 0;
    std::int32_t timeframe = 0;
    bool before = false, after = false;
    if (!convert::to_i64(PyTuple_GET_ITEM(args, 0), target_ms) || !convert::to_i32(PyTuple_GET_ITEM(args, 1), timeframe) ||
        !to_flag(PyTuple_GET_ITEM(args, 3), before) || !to_flag(PyTuple_GET_ITEM(args, 4), after))
        return invalid_arguments();
    const std::uint32_t asked = (before ? wire::kStepFundsBefore : 0u) | (after ? wire::kStepFundsAfter : 0u);
    PyObject* given = PyTuple_GET_ITEM(args, 2);
    if (!PyTuple_Check(given) && !PyList_Check(given)) return invalid_arguments();
    Owned names(PySequence_Fast(given, "symbols"));
    if (names.get() == nullptr) {
        PyErr_Clear();
        return invalid_arguments();
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(names.get());
    // Each name takes at least its count's four bytes on the wire.
    if (static_cast<std::uint64_t>(n) > kMaxRequestBytes / 4) return invalid_arguments();
    std::vector<convert::SymbolName> symbols;
    std::uint64_t size = 8 + 4 + 4 + 4;  // target, timeframe, funds, count
    try {
        symbols.resize(static_cast<std::size_t>(n));
    } catch (...) {
        return convert::error_none(wire::kOutOfMemory, "No memory");
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        convert::SymbolName& name = symbols[static_cast<std::size_t>(i)];
        if (!convert::to_symbol(PySequence_Fast_GET_ITEM(names.get(), i), name)) return invalid_arguments();
        size += link::text_size(name.view());
        if (4 + size > kMaxRequestBytes) return invalid_arguments();
    }

    StepReply reply;
    Owned bars(PyTuple_New(n));
    if (bars.get() == nullptr) {
        PyErr_Clear();
        return convert::error_none(wire::kOutOfMemory, "No memory");
    }
    reply.bars = bars.get();
    const std::int32_t outcome = link::transact(
        link::client().handle(), wire::kStepCommand, static_cast<std::uint32_t>(size),
        [&](link::PipeWriter& writer) noexcept {
            if (!writer.put(target_ms) || !writer.put(timeframe) || !writer.put(asked) ||
                !writer.put(static_cast<std::uint32_t>(n)))
                return false;
            for (const convert::SymbolName& name : symbols)
                if (!writer.put_text(name.view())) return false;
            return true;
        },
        [&reply](link::PipeReader& reader) noexcept { return reply.read(reader); });
    // A reply that failed only because no array could be made was drained by
    // the stream, which reported it as unreadable; it is a memory failure.
    if (outcome == wire::kIpcRecvFailed && reply.out_of_memory)
        return convert::error_none(wire::kOutOfMemory, "No memory");
    if (outcome < 0) return convert::error_none(outcome);

    const std::int64_t now_ms = reply.head.now_ms, next_ms = reply.head.next_ms;
    Owned funds_before(funds(reply.head.before, before));
    Owned funds_after(funds(reply.head.after, after));
    if (funds_before.get() == nullptr || funds_after.get() == nullptr) {
        PyErr_Clear();
        return convert::error_none(wire::kOutOfMemory, "No memory");
    }
    PyObject* result = Py_BuildValue("(LLNNN)", static_cast<long long>(now_ms), static_cast<long long>(next_ms),
                                     bars.release(), funds_before.release(), funds_after.release());
    if (result == nullptr) {
        PyErr_Clear();
        return convert::error_none(wire::kOutOfMemory, "No memory");
    }
    return result;
}

}  // namespace qvn::history
