// Tick and bar history on the wire: writing a history request and reading
// its reply (u32 count, count × record) straight into a NumPy array.
#include "history/record_reply.hpp"

#include "convert/numpy.hpp"

#include <cstddef>
#include <cstdint>

#include "convert/array_pool.hpp"
#include "convert/outcome.hpp"
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
    return true;
}

// The array a reply is read into, released with the sink unless the call
// hands it to Python.
//
// The array's memory is allocated by NumPy itself (PyArray_NewFromDescr
// without data, then PyArray_Resize) through the module's pooling memory
// handler (convert/array_pool.hpp), once the count has been checked against
// the frame, and the records are read into it directly; large reads bypass
// the stream's block, so each byte is written once, by the socket read. The
// array thus owns its memory the ordinary way (NPY_ARRAY_OWNDATA with the
// handler that allocated it, no base object): NumPy frees it with that
// handler, which keeps a large block for the next reply, and NumPy's
// tracemalloc accounting stays exact.
class ArraySink final : public link::RecordStorage {
public:
    ArraySink(PyArray_Descr* layout, std::size_t record_size) noexcept : layout_(layout), record_size_(record_size) {}
    ArraySink(const ArraySink&) = delete;
    ArraySink& operator=(const ArraySink&) = delete;
    ~ArraySink() { Py_XDECREF(array_); }

    bool reserve(std::size_t bytes, bool) noexcept override {
        npy_intp length = static_cast<npy_intp>(bytes / record_size_);
        if (array_ != nullptr) return grow(array_, length) || refuse();
        if (layout_ == nullptr || static_cast<std::size_t>(PyDataType_ELSIZE(layout_)) != record_size_) return refuse();
        Py_INCREF(layout_);  // PyArray_NewFromDescr takes this reference, also when it fails
        {
            const convert::PooledArrays pooled(expected_);
            pooled_ = pooled.active();
            array_ = PyArray_NewFromDescr(&PyArray_Type, layout_, 1, &length, nullptr, nullptr, 0, nullptr);
        }
        if (array_ == nullptr) {
            PyErr_Clear();
            return refuse();
        }
        return true;
    }
    void expect(std::size_t bytes) noexcept override { expected_ = bytes; }
    std::byte* data() noexcept override {
        return static_cast<std::byte*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_)));
    }

    // The count was sound but no array could be made or grown.
    bool out_of_memory() const noexcept { return out_of_memory_; }
    // The array, its block trimmed to it: a reused block may be larger.
    PyObject* release() noexcept {
        PyObject* a = array_;
        array_ = nullptr;
        if (a != nullptr && pooled_) {
            auto* arr = reinterpret_cast<PyArrayObject*>(a);
            convert::fit_pooled(PyArray_DATA(arr), static_cast<std::size_t>(PyArray_NBYTES(arr)));
        }
        return a;
    }

private:
    bool refuse() noexcept {
        out_of_memory_ = true;
        return false;
    }

    PyArray_Descr* layout_;
    std::size_t record_size_;
    PyObject* array_ = nullptr;
    std::size_t expected_ = 0;
    bool pooled_ = false;  // the array's storage comes from the pool
    bool out_of_memory_ = false;
};

// The first storage taken for a reply; after that it at most doubles, and
// only once what it holds has arrived. A peer that declares 4 GiB and sends
// 20 KB thus costs 64 MiB of address space (untouched, so no memory), and a
// real reply costs a few reallocations. Blocks this large are mappings of
// their own (convert/array_pool.hpp), so growing one remaps its pages instead
// of copying them, and a reused block large enough for the reply never grows.
constexpr std::size_t kFirstStorageBytes = 64u << 20;

}  // namespace

PyObject* fetch_records(const HistoryRequest& request, std::size_t record_size, PyArray_Descr* layout) noexcept {
    ArraySink sink(layout, record_size);
    std::uint32_t count = 0;
    const std::int32_t outcome = link::transact(
        link::client().handle(), request.command, arguments_size(request),
        [&request](link::PipeWriter& writer) noexcept { return write_arguments(writer, request); },
        [&](link::PipeReader& reader) noexcept {
            return link::read_counted(reader, record_size, kFirstStorageBytes, sink, count);
        });
    // A reply that failed only because no array could be made was drained by
    // the stream, which reported it as unreadable; it is a memory failure.
    if (outcome == wire::kIpcRecvFailed && sink.out_of_memory())
        return convert::error_none(wire::kOutOfMemory, "No memory");
    if (outcome < 0) return convert::error_none(outcome);
    return sink.release();
}

}  // namespace qvn::history
