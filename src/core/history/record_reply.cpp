// Tick and bar history on the wire: writing a history request and reading
// its reply (u32 count, count × record) straight into a NumPy array.
#include "module/numpy.hpp"

#include <algorithm>
#include <cstddef>

#include "history/record_reply.hpp"
#include "link/client.hpp"
#include "link/error.hpp"
#include "link/stream.hpp"
#include "protocol/wire.hpp"

namespace qvn::history {
namespace {

std::uint32_t arguments_size(const HistoryRequest& request) noexcept {
    std::uint32_t size = link::text_size(request.symbol);
    for (const WireInt& field : request.fields) size += field.width;
    return size;
}

bool write_arguments(link::PipeWriter& writer, const HistoryRequest& request) noexcept {
    if (!writer.put_text(request.symbol)) return false;
    for (const WireInt& field : request.fields) {
        const bool ok = field.width == 4 ? writer.put(static_cast<std::int32_t>(field.value))
                                         : writer.put(field.value);
        if (!ok) return false;
    }
    return true;
}

// The array a reply is read into. It is released with the sink unless the
// call hands it to Python.
struct ArraySink {
    PyArray_Descr* layout;
    std::size_t record_size;
    PyObject* array = nullptr;
    bool out_of_memory = false;  // the count was sound but no array could be made

    ArraySink(PyArray_Descr* l, std::size_t size) noexcept : layout(l), record_size(size) {}
    ArraySink(const ArraySink&) = delete;
    ArraySink& operator=(const ArraySink&) = delete;
    ~ArraySink() { Py_XDECREF(array); }

    PyObject* release() noexcept {
        PyObject* a = array;
        array = nullptr;
        return a;
    }
};

// The first storage taken for a reply; after that it at most doubles, and
// only once what it holds has arrived. A peer that declares 4 GiB and sends
// 20 KB thus costs 64 MiB of address space (untouched, so no memory), and a
// real reply costs a few reallocations. Blocks this large are mapped by the
// C allocator on their own, so growing one remaps its pages instead of
// copying them; a smaller first block could come from the heap and be
// copied on every step until it leaves it.
constexpr std::size_t kFirstStorageBytes = 64u << 20;

// Large pages make the first touch of each page (the socket read) several
// times cheaper. NumPy asks for them when it allocates a block; the hint is
// renewed over the whole block after each growth, which also keeps the
// mapping in one piece for the next one.
void advise(PyObject* array) noexcept {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    const auto bytes = static_cast<std::size_t>(PyArray_NBYTES(a));
    if (bytes >= (4u << 20)) platform::advise_large_pages(PyArray_DATA(a), bytes);
}

// Grows the array to `length` records. The new part is left as it is,
// without the zero-fill a resize gives a writeable array: the socket read
// fills it next. Storage of this size is remapped, not copied.
bool grow(PyObject* array, npy_intp length) noexcept {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    PyArray_CLEARFLAGS(a, NPY_ARRAY_WRITEABLE);
    PyArray_Dims shape{&length, 1};
    PyObject* done = PyArray_Resize(a, &shape, 0, NPY_ANYORDER);
    PyArray_ENABLEFLAGS(a, NPY_ARRAY_WRITEABLE);
    if (done == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(done);
    advise(array);
    return true;
}

// Reads the record count, then the records into a new array of the layout.
//
// The array's memory is allocated by NumPy itself (PyArray_NewFromDescr
// without data, then PyArray_Resize, both through NumPy's current memory
// handler) once the count has been checked against the frame, and the
// records are read into it directly; large reads bypass the stream's block,
// so each byte is written once, by the socket read. The array thus owns its
// memory the ordinary way (NPY_ARRAY_OWNDATA with the handler that allocated
// it, no base object): NumPy frees it with that handler and its tracemalloc
// accounting stays exact. Memory from PyDataMem_NEW marked as owned after
// the fact would be freed by NumPy's no-handler fallback instead, which
// bypasses that accounting and warns under NumPy's memory-policy checks.
//
// The storage follows what has arrived rather than what was declared (see
// kFirstStorageBytes), so records that never come take little address space.
bool read_array(link::PipeReader& reader, ArraySink& sink) noexcept {
    std::uint32_t count = 0;
    std::size_t bytes = 0;
    if (!link::read_record_count(reader, sink.record_size, count, bytes)) return false;
    if (sink.layout == nullptr || static_cast<std::size_t>(PyDataType_ELSIZE(sink.layout)) != sink.record_size) {
        sink.out_of_memory = true;
        return false;
    }
    const std::size_t first = std::max<std::size_t>(1, kFirstStorageBytes / sink.record_size);
    npy_intp held = static_cast<npy_intp>(std::min<std::size_t>(count, first));
    Py_INCREF(sink.layout);  // PyArray_NewFromDescr takes this reference, also when it fails
    sink.array = PyArray_NewFromDescr(&PyArray_Type, sink.layout, 1, &held, nullptr, nullptr, 0, nullptr);
    if (sink.array == nullptr) {
        PyErr_Clear();
        sink.out_of_memory = true;
        return false;
    }
    if (held < static_cast<npy_intp>(count)) advise(sink.array);  // it will grow
    const auto total = static_cast<npy_intp>(count);
    npy_intp filled = 0;
    for (;;) {
        auto* data = static_cast<std::byte*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(sink.array)));
        const auto n = static_cast<std::size_t>(held - filled) * sink.record_size;
        if (n > 0 && !reader.read(data + static_cast<std::size_t>(filled) * sink.record_size, n)) return false;
        filled = held;
        if (filled == total) return true;
        held = std::min(total, 2 * held);
        if (!grow(sink.array, held)) {
            sink.out_of_memory = true;
            return false;
        }
    }
}

}  // namespace

PyObject* fetch_records(const HistoryRequest& request, std::size_t record_size, PyArray_Descr* layout) noexcept {
    ArraySink sink(layout, record_size);
    const std::int32_t outcome = link::transact(
        link::client().handle(), request.command, arguments_size(request),
        [&request](link::PipeWriter& writer) noexcept { return write_arguments(writer, request); },
        [&sink](link::PipeReader& reader) noexcept { return read_array(reader, sink); });
    // A reply that failed only because no array could be made was drained by
    // the stream, which reported it as unreadable; it is a memory failure.
    if (outcome == wire::kIpcRecvFailed && sink.out_of_memory)
        return link::error_none(wire::kOutOfMemory, "No memory");
    if (outcome < 0) return link::error_none(outcome);
    return sink.release();
}

}  // namespace qvn::history
