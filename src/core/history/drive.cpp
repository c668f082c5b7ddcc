// _drive(on_bar, timeframe, symbols, lookback, seeds, now_ms, end_ms, spare[, progress]):
// the backtest's step loop, for quorvane.backtest's driver. Private: not one
// of the module's public functions.
//
// Each step is one exchange of the Terminal's command 901 to the next bar
// (its flag 4): the Terminal moves its clock to the last millisecond of the
// next bar with a tick of the named symbols that ends by end_ms and answers
// the bars that closed meanwhile and the account's funds before the move.
// The exchange goes over the module's own connection and takes its turn
// like any call, holding the call lock for the exchange alone: on_bar's own
// calls, and other threads', come between steps as they did between the
// calls of a driver written in Python.
//
// Per symbol the bars are kept in a NumPy array that only grows at its end,
// read straight into it from the reply, and on_bar gets a read-only view of
// its last `lookback` rows whose base is that array: a view handed out never
// changes later. A full array is left to the views still holding it, and the
// bars still needed move to a new one.
//
// The equity rows (the clock after each step, and the funds the next
// exchange reports from before its move: the account after that step's
// on_bar calls) are kept here too, and handed back whole at the end, with
// every bar the steps brought: (clock, equity bytes, a tuple of each
// symbol's bar bytes, or None when there was no memory to keep them).
// A step that failed gives (clock, None, None).
#include <Python.h>

#include "convert/numpy.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "convert/args.hpp"
#include "convert/layouts.hpp"
#include "convert/outcome.hpp"
#include "history/owned.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "link/stream.hpp"
#include "module/calls.hpp"
#include "protocol/enums.hpp"
#include "protocol/wire.hpp"

namespace qvn::history {
namespace {

// The Terminal drops a client whose request frame (the bytes after its
// length field) is larger than this.
constexpr std::uint64_t kMaxRequestBytes = 64u << 10;
constexpr npy_intp kRow = sizeof(wire::BarRecord);
// Bounds on the rows a symbol keeps, so that no product of them overflows.
constexpr std::int64_t kMaxLookback = 1'000'000;
constexpr std::int64_t kMaxSpare = 1 << 24;
// The longest bar: a month of 31 days (MN1's value is a nominal 30).
constexpr std::int64_t kLongestMonthMs = 31 * 86'400'000LL;
// Steps between two looks at the clock for the next turn.
constexpr std::uint32_t kStepsPerLook = 16;

// Gives other threads their turn at the interpreter lock. A Python on_bar
// lets them in as it is called; a built-in one would not, nor would a step
// in process, which never waits. A thread waiting for the lock asks its
// holder to hand it over only once a whole switch interval has passed with
// no release: a release made more often than that wakes it to find the
// lock taken back, again and again for the whole run (under Wine nearly
// always). So the run lets go every two switch intervals, by when a waiter
// has asked and the release hands the lock over to it.
class Turns {
public:
    Turns() noexcept {
        double seconds = 0.005;  // the interpreter's default
        PyObject* ask = PySys_GetObject("getswitchinterval");  // borrowed
        Owned got(ask != nullptr ? PyObject_CallNoArgs(ask) : nullptr);
        if (got.get() != nullptr && PyFloat_Check(got.get())) seconds = PyFloat_AS_DOUBLE(got.get());
        PyErr_Clear();
        period_ = std::chrono::microseconds(std::clamp(static_cast<std::int64_t>(2e6 * seconds), std::int64_t{1000},
                                                       std::int64_t{1'000'000}));
        next_ = std::chrono::steady_clock::now() + period_;
    }

    void between(std::uint32_t step) noexcept {
        if (step % kStepsPerLook != 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return;
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
        next_ = std::chrono::steady_clock::now() + period_;
    }

private:
    std::chrono::microseconds period_{};
    std::chrono::steady_clock::time_point next_{};
};

PyObject* invalid_arguments() noexcept { return convert::error_none(wire::kInvalidParams, "Invalid arguments"); }

// A row of the equity curve, as quorvane.backtest.EQUITY_DTYPE lays it out.
struct EquityRow {
    std::int64_t time_msc;
    double balance;
    double equity;
    double margin;
};
static_assert(sizeof(EquityRow) == 32);

// ---- The bars of one symbol ---------------------------------------------------------

class KeptBars {
public:
    // The first bars (`seed`, a contiguous array of the bar layout); room
    // for the lookback and `spare` more rows, at least the lookback again.
    bool start(PyArrayObject* seed, npy_intp lookback, npy_intp spare) noexcept {
        lookback_ = lookback;
        const npy_intp seeded = PyArray_DIM(seed, 0);
        if (!replace(std::max(lookback + std::max(lookback, spare), seeded))) return false;
        std::memcpy(data_, PyArray_DATA(seed), static_cast<std::size_t>(seeded * kRow));
        rows_ = seeded;
        return true;
    }

    // Room for `more` rows after the last; false when no memory is left
    // for it (no Python error left set).
    bool make_room(npy_intp more) noexcept {
        if (more <= capacity_ - rows_) return true;
        const npy_intp still = std::min(rows_, lookback_);
        return replace(std::max(capacity_, still + more));
    }

    std::byte* end() noexcept { return data_ + rows_ * kRow; }
    const std::byte* last(npy_intp rows) const noexcept { return data_ + (rows_ - rows) * kRow; }
    void added(npy_intp rows) noexcept { rows_ += rows; }

    // The opening time (seconds) of the newest bar; there is one.
    std::int64_t newest_time() const noexcept {
        std::int64_t t = 0;
        std::memcpy(&t, data_ + (rows_ - 1) * kRow + offsetof(wire::BarRecord, time), sizeof t);
        return t;
    }

    // The last `lookback` rows as a read-only array whose base is the
    // buffer; null with a Python error set when it cannot be made.
    PyObject* recent() const noexcept {
        npy_intp n = std::min(rows_, lookback_);
        PyArray_Descr* layout = convert::bar_layout();
        Py_INCREF(layout);  // PyArray_NewFromDescr takes this reference, also when it fails
        PyObject* view = PyArray_NewFromDescr(&PyArray_Type, layout, 1, &n, nullptr, data_ + (rows_ - n) * kRow,
                                              0, nullptr);
        if (view == nullptr) return nullptr;
        Py_INCREF(buffer_.get());  // the base takes this reference, also when it fails
        if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view), buffer_.get()) < 0) {
            Py_DECREF(view);
            return nullptr;
        }
        return view;
    }

private:
    // A new buffer of `capacity` rows holding the last `lookback` rows of
    // the one before; that one stays with the views made of it.
    bool replace(npy_intp capacity) noexcept {
        PyArray_Descr* layout = convert::bar_layout();
        Py_INCREF(layout);
        Owned fresh(PyArray_NewFromDescr(&PyArray_Type, layout, 1, &capacity, nullptr, nullptr, 0, nullptr));
        if (fresh.get() == nullptr) {
            PyErr_Clear();
            return false;
        }
        auto* data = static_cast<std::byte*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(fresh.get())));
        const npy_intp still = std::min(rows_, lookback_);
        if (still > 0) std::memcpy(data, data_ + (rows_ - still) * kRow, static_cast<std::size_t>(still * kRow));
        buffer_ = std::move(fresh);
        data_ = data;
        rows_ = still;
        capacity_ = capacity;
        return true;
    }

    Owned buffer_;  // a NumPy array of the bar layout that owns its memory
    std::byte* data_ = nullptr;
    npy_intp rows_ = 0;
    npy_intp capacity_ = 0;
    npy_intp lookback_ = 1;
};

// ---- One exchange -------------------------------------------------------------------

// The reply after echo and result: the head, then per symbol a count,
// checked against the frame before any room is made, and the records read
// straight to the end of the symbol's bars.
struct StepReply {
    std::vector<KeptBars>& kept;
    std::vector<std::uint32_t>& counts;
    wire::StepRecord head{};
    bool out_of_memory = false;

    bool read(link::PipeReader& reader) noexcept {
        if (!reader.get(head)) return false;
        for (std::size_t i = 0; i < kept.size(); ++i) {
            std::uint32_t count = 0;
            std::size_t bytes = 0;
            if (!link::read_record_count(reader, sizeof(wire::BarRecord), count, bytes)) return false;
            counts[i] = count;
            if (count == 0) continue;
            if (!kept[i].make_room(count)) {
                out_of_memory = true;
                return false;
            }
            if (!reader.read(kept[i].end(), bytes)) return false;
            kept[i].added(count);
        }
        return true;
    }
};

// The request, built once: target (the latest the clock may go to),
// timeframe, flags, the names. Only the flags change between steps.
class StepRequest {
public:
    bool build(std::int64_t end_ms, std::int32_t timeframe, const std::vector<convert::SymbolName>& names) noexcept {
        std::uint64_t size = 8 + 4 + 4 + 4;
        for (const convert::SymbolName& name : names) size += link::text_size(name.view());
        if (4 + size > kMaxRequestBytes) return false;
        try {
            bytes_.resize(static_cast<std::size_t>(size));
        } catch (...) {
            return false;
        }
        std::byte* at = bytes_.data();
        const auto put = [&at](const void* value, std::size_t n) {
            std::memcpy(at, value, n);
            at += n;
        };
        const auto n = static_cast<std::uint32_t>(names.size());
        put(&end_ms, 8);
        put(&timeframe, 4);
        at += 4;  // the flags
        put(&n, 4);
        for (const convert::SymbolName& name : names) {
            const auto units = static_cast<std::uint32_t>(name.length);
            put(&units, 4);
            put(name.units, 2 * name.length);
        }
        return true;
    }

    void set_flags(std::uint32_t flags) noexcept { std::memcpy(bytes_.data() + 12, &flags, 4); }
    std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(bytes_.size()); }
    const std::byte* data() const noexcept { return bytes_.data(); }

private:
    std::vector<std::byte> bytes_;
};

// ---- The loop -----------------------------------------------------------------------

struct Arguments {
    PyObject* on_bar = nullptr;
    std::int32_t timeframe = 0;
    Owned symbols;  // a tuple or a list, as PySequence_Fast gives it
    std::int64_t lookback = 0;
    PyObject* seeds = nullptr;
    std::int64_t now_ms = 0;
    std::int64_t end_ms = 0;
    std::int64_t spare = 0;
    PyObject* progress = nullptr;  // None when not given
    std::vector<convert::SymbolName> names;
};

// The arguments checked and converted; false (no Python error left set)
// for any that is not as the driver gives it.
bool read_arguments(PyObject* args, Arguments& a) noexcept {
    if (args == nullptr || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 8 || PyTuple_GET_SIZE(args) > 9)
        return false;
    a.on_bar = PyTuple_GET_ITEM(args, 0);
    a.progress = PyTuple_GET_SIZE(args) == 9 ? PyTuple_GET_ITEM(args, 8) : Py_None;
    if (a.progress != Py_None && !PyCallable_Check(a.progress)) return false;
    PyObject* given = PyTuple_GET_ITEM(args, 2);
    a.seeds = PyTuple_GET_ITEM(args, 4);
    if (!PyCallable_Check(a.on_bar) || !convert::to_i32(PyTuple_GET_ITEM(args, 1), a.timeframe) ||
        !convert::to_i64(PyTuple_GET_ITEM(args, 3), a.lookback) || !convert::to_i64(PyTuple_GET_ITEM(args, 5), a.now_ms) ||
        !convert::to_i64(PyTuple_GET_ITEM(args, 6), a.end_ms) || !convert::to_i64(PyTuple_GET_ITEM(args, 7), a.spare))
        return false;
    if (a.lookback < 1 || a.lookback > kMaxLookback || a.spare < 0 || a.spare > kMaxSpare) return false;
    if (!PyTuple_Check(given) && !PyList_Check(given)) return false;
    a.symbols.reset(PySequence_Fast(given, "symbols"));
    if (a.symbols.get() == nullptr) {
        PyErr_Clear();
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(a.symbols.get());
    // Each name takes at least its count's four bytes on the wire.
    if (n < 1 || static_cast<std::uint64_t>(n) > kMaxRequestBytes / 4) return false;
    if (!PyTuple_Check(a.seeds) || PyTuple_GET_SIZE(a.seeds) != n) return false;
    try {
        a.names.resize(static_cast<std::size_t>(n));
    } catch (...) {
        return false;
    }
    PyArray_Descr* layout = convert::bar_layout();
    if (layout == nullptr || PyDataType_ELSIZE(layout) != kRow) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!convert::to_symbol(PySequence_Fast_GET_ITEM(a.symbols.get(), i), a.names[static_cast<std::size_t>(i)]))
            return false;
        PyObject* seed = PyTuple_GET_ITEM(a.seeds, i);
        if (!PyArray_Check(seed)) return false;
        auto* array = reinterpret_cast<PyArrayObject*>(seed);
        if (PyArray_NDIM(array) != 1 || !PyArray_IS_C_CONTIGUOUS(array) || !PyArray_EquivTypes(PyArray_DESCR(array), layout))
            return false;
    }
    return true;
}

// The newest bar of a step is the step's own when it ends where the clock
// now stands. Every bar a step answers ends by then, and a bar before the
// step's own ends by the time that one opens: so the newest is the step's
// own exactly when it opened less than one longest bar of the timeframe
// before the clock (an MN1 bar before it opened at least 56 days before).
bool ends_at(std::int64_t opened_s, std::int32_t timeframe, std::int64_t now_ms) noexcept {
    const std::int64_t longest = timeframe == static_cast<std::int32_t>(enums::Timeframe::MN1)
                                     ? kLongestMonthMs
                                     : std::int64_t{timeframe} * 60'000;
    const std::int64_t age = now_ms - opened_s * 1000;
    return age >= 0 && age < longest;
}

// Calls progress(now) and takes the clock it returns, at which it wants
// its next call; false with its exception set (also for a result that is
// no integer).
bool report(PyObject* progress, std::int64_t now, std::int64_t& report_at) noexcept {
    Owned clock(PyLong_FromLongLong(now));
    if (clock.get() == nullptr) return false;
    PyObject* call_args[2] = {nullptr, clock.get()};
    Owned got(PyObject_Vectorcall(progress, call_args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (got.get() == nullptr) return false;
    int overflow = 0;
    const long long next = PyLong_AsLongLongAndOverflow(got.get(), &overflow);
    if (next == -1 && PyErr_Occurred()) return false;
    report_at = overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : next;
    return true;
}

// (clock, None, None) for a step that failed, its outcome in the error state.
PyObject* failed_at(std::int64_t clock_ms) noexcept {
    return Py_BuildValue("(LOO)", static_cast<long long>(clock_ms), Py_None, Py_None);
}

}  // namespace

PyObject* py_drive(PyObject*, PyObject* args) {
    Arguments a;
    {
        const module::Call call;
        link::reset_error();
        if (!read_arguments(args, a)) return invalid_arguments();
    }
    const auto n = static_cast<std::size_t>(a.names.size());
    std::vector<KeptBars> kept;
    std::vector<std::uint32_t> counts;
    std::vector<EquityRow> rows;
    // Every bar the steps brought, per symbol, for the run's figures at the
    // end (so the Terminal is not asked to build them all again). Given up
    // rather than failing the run when there is no memory for it: the
    // driver then reads them from the Terminal.
    std::vector<std::vector<std::byte>> closed;
    bool keep_closed = true;
    StepRequest request;
    try {
        kept.resize(n);
        counts.resize(n);
        closed.resize(n);
    } catch (...) {
        const module::Call call;
        return convert::error_none(wire::kOutOfMemory, "No memory");
    }
    bool seeded = request.build(a.end_ms, a.timeframe, a.names);
    for (std::size_t i = 0; seeded && i < n; ++i) {
        auto* seed = reinterpret_cast<PyArrayObject*>(PyTuple_GET_ITEM(a.seeds, static_cast<Py_ssize_t>(i)));
        seeded = kept[i].start(seed, static_cast<npy_intp>(a.lookback), static_cast<npy_intp>(a.spare));
    }
    if (!seeded) {
        const module::Call call;
        return convert::error_none(wire::kOutOfMemory, "No memory");
    }

    std::int64_t clock = a.now_ms;
    // The clock at which progress wants its next call (never without one).
    std::int64_t report_at = a.progress == Py_None ? INT64_MAX : 0;
    Turns turns;
    for (std::uint32_t step = 1;; ++step) {
        // Ctrl+C and the run's own signal handlers act between steps.
        if (PyErr_CheckSignals() < 0) return nullptr;
        turns.between(step);
        // The funds before the move are the previous step's row; the
        // first step has none (the account opens at its end).
        request.set_flags(wire::kStepToNextBar | (rows.empty() ? 0u : wire::kStepFundsBefore));
        StepReply reply{kept, counts};
        bool failed = false;
        {
            const module::Call call;
            link::reset_error();
            const std::int32_t outcome = link::transact(
                link::client().handle(), wire::kStepCommand, request.size(),
                [&request](link::PipeWriter& writer) noexcept { return writer.write(request.data(), request.size()); },
                [&reply](link::PipeReader& reader) noexcept { return reply.read(reader); });
            const std::int64_t now = reply.head.now_ms;
            // A reply that failed only because no room could be made was
            // drained by the stream, which reported it as unreadable.
            if (outcome == wire::kIpcRecvFailed && reply.out_of_memory) {
                link::set_error(wire::kOutOfMemory, "No memory");
                failed = true;
            } else if (outcome < 0) {
                link::set_error(outcome);
                failed = true;
            } else if (now < clock || now > std::max(clock, a.end_ms)) {
                // A clock that went back, or past the bound: no step of 901.
                link::set_error(wire::kIpcRecvFailed);
                failed = true;
            } else if (!rows.empty()) {
                const wire::AccountFundsRecord f = reply.head.before;
                rows.back().balance = f.balance;
                rows.back().equity = f.equity;
                rows.back().margin = f.margin;
            }
        }
        if (failed) return failed_at(clock);
        const std::int64_t now = reply.head.now_ms;
        if (now == clock) break;  // no bar ends by end_ms: the last row is complete
        clock = now;
        try {
            rows.push_back(EquityRow{now, 0.0, 0.0, 0.0});
        } catch (...) {
            const module::Call call;
            link::set_error(wire::kOutOfMemory, "No memory");
            return failed_at(clock);
        }
        for (std::size_t i = 0; keep_closed && i < n; ++i) {
            const std::byte* added = kept[i].last(counts[i]);
            try {
                closed[i].insert(closed[i].end(), added, added + counts[i] * kRow);
            } catch (...) {
                keep_closed = false;
                closed.clear();
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (counts[i] == 0 || !ends_at(kept[i].newest_time(), a.timeframe, now)) continue;
            PyObject* call_args[3] = {nullptr, PySequence_Fast_GET_ITEM(a.symbols.get(), static_cast<Py_ssize_t>(i)),
                                      kept[i].recent()};
            if (call_args[2] == nullptr) return nullptr;
            PyObject* got = PyObject_Vectorcall(a.on_bar, call_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            Py_DECREF(call_args[2]);
            if (got == nullptr) return nullptr;  // on_bar's exception, as it raised it
            Py_DECREF(got);
        }
        // The progress hook: one comparison a step.
        if (now >= report_at && !report(a.progress, now, report_at)) return nullptr;
    }
    PyObject* equity = PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(rows.data()),
                                                     static_cast<Py_ssize_t>(rows.size() * sizeof(EquityRow)));
    if (equity == nullptr) return nullptr;
    Owned bars(keep_closed ? PyTuple_New(static_cast<Py_ssize_t>(n)) : (Py_INCREF(Py_None), Py_None));
    if (bars.get() == nullptr) {
        Py_DECREF(equity);
        return nullptr;
    }
    for (std::size_t i = 0; keep_closed && i < n; ++i) {
        PyObject* symbol = PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(closed[i].data()),
                                                         static_cast<Py_ssize_t>(closed[i].size()));
        if (symbol == nullptr) {
            Py_DECREF(equity);
            return nullptr;
        }
        PyTuple_SET_ITEM(bars.get(), static_cast<Py_ssize_t>(i), symbol);
        std::vector<std::byte>().swap(closed[i]);  // its copy is made: free it now
    }
    return Py_BuildValue("(LNN)", static_cast<long long>(clock), equity, bars.release());
}

}  // namespace qvn::history
