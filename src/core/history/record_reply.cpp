// Tick and bar history on the wire: writing a history request and reading
// its reply (u32 count, count × record) straight into a NumPy array.
#include "module/numpy.hpp"

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

// Reads the record count, then the records into a new array of the layout.
//
// The array's memory is allocated by NumPy itself (PyArray_NewFromDescr
// without data, through NumPy's current memory handler) once the count has
// been checked against the frame, and the records are read into it directly;
// large reads bypass the stream's block, so each byte is written once, by the
// socket read. The array thus owns its memory the ordinary way
// (NPY_ARRAY_OWNDATA with the handler that allocated it, no base object):
// NumPy frees it with that handler and its tracemalloc accounting stays
// exact. Memory from PyDataMem_NEW marked as owned after the fact would be
// freed by NumPy's no-handler fallback instead, which bypasses that
// accounting and warns under NumPy's memory-policy checks.
bool read_array(link::PipeReader& reader, ArraySink& sink) noexcept {
    std::uint32_t count = 0;
    std::size_t bytes = 0;
    if (!link::read_record_count(reader, sink.record_size, count, bytes)) return false;
    if (sink.layout == nullptr || static_cast<std::size_t>(PyDataType_ELSIZE(sink.layout)) != sink.record_size) {
        sink.out_of_memory = true;
        return false;
    }
    npy_intp length = count;
    Py_INCREF(sink.layout);  // PyArray_NewFromDescr takes this reference, also when it fails
    sink.array = PyArray_NewFromDescr(&PyArray_Type, sink.layout, 1, &length, nullptr, nullptr, 0, nullptr);
    if (sink.array == nullptr) {
        PyErr_Clear();
        sink.out_of_memory = true;
        return false;
    }
    return bytes == 0 || reader.read(PyArray_DATA(reinterpret_cast<PyArrayObject*>(sink.array)), bytes);
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
