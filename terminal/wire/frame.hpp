// Request arguments and response frames as the Terminal sees them.
//
// A request body (everything after the length field) is read completely
// before it is parsed, so parsing never waits on the client; every field
// read is checked against the bytes left. A response is built in memory and
// sent with one write, except record lists, which are streamed in chunks
// (see Exchange::stream_records).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qvn::terminal {

class RequestReader {
public:
    explicit RequestReader(std::span<const std::byte> args) noexcept : data_(args) {}

    template <class T>
    bool read(T& out) noexcept {
        static_assert(std::is_trivially_copyable_v<T>);
        if (data_.size() - pos_ < sizeof(T)) return false;
        std::memcpy(&out, data_.data() + pos_, sizeof(T));
        pos_ += sizeof(T);
        return true;
    }

    // A wide string: u32 count of UTF-16 units, then the units. A count
    // beyond the bytes left is malformed, never an allocation.
    bool wide(std::u16string& out);

    bool done() const noexcept { return pos_ == data_.size(); }

private:
    std::span<const std::byte> data_;
    std::size_t pos_ = 0;
};

// Where responses go: a client connection, or memory in unit tests.
class Sink {
public:
    virtual ~Sink() = default;
    virtual bool write(std::span<const std::byte> bytes) = 0;
    // The pieces one after another, as one write where the sink can.
    virtual bool write_pieces(std::span<const std::span<const std::byte>> pieces) {
        for (const std::span<const std::byte> piece : pieces)
            if (!piece.empty() && !write(piece)) return false;
        return true;
    }
};

// One response frame built in memory: u32 length, u32 echo, i32 result,
// fields.
class Response {
public:
    Response(std::uint32_t command, std::int32_t result);

    template <class T>
    void put(const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        put_bytes(&value, sizeof value);
    }
    void put_bytes(const void* data, std::size_t n);
    void put_wide(std::u16string_view text);

    // The finished frame, with its length field filled in.
    std::span<const std::byte> frame();

private:
    // Most replies (a step's, a few records) fit the room kept in the
    // object itself, so making one allocates nothing; a larger one moves
    // to the heap once.
    static constexpr std::size_t kInlineBytes = 1024;
    std::byte* data() noexcept { return on_heap_ ? heap_.data() : inline_; }

    std::size_t size_ = 0;
    bool on_heap_ = false;
    std::vector<std::byte> heap_;
    alignas(8) std::byte inline_[kInlineBytes];
};

// Writes up to `max` records at `out`, oldest first; returns how many. Fewer
// than `max` only when nothing is left.
using FillRecords = std::function<std::size_t(std::byte* out, std::size_t max)>;

// The state one client's request/response exchange needs: where to write
// and reusable buffers for large responses.
class Exchange {
public:
    explicit Exchange(Sink& sink) : sink_(sink) {}
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    bool send(Response& r) { return sink_.write(r.frame()); }
    // A reply of the result code alone: every failure, and the login's success.
    bool status(std::uint32_t command, std::int32_t code);

    // Streams a successful record list: echo, result 1, u32 count, then
    // `count` records of `record_size` bytes from `fill`. The header goes
    // out with the first chunk. Large lists are generated on a helper thread
    // one chunk ahead of the writes, so generation overlaps the transfer.
    // Should `fill` run dry early, the rest is zero records so the frame
    // stays well formed.
    bool stream_records(std::uint32_t command, std::uint64_t count, std::size_t record_size, const FillRecords& fill);

    // The same frame when its first records are ready in memory: `slice`
    // (whole records) is written as it is, straight after the header, and
    // the `rest` records that follow come from `fill`.
    bool stream_slice(std::uint32_t command, std::span<const std::byte> slice, std::uint64_t rest,
                      std::size_t record_size, const FillRecords& fill);

    template <class Record, class Fill>
    bool stream_records(std::uint32_t command, std::uint64_t count, Fill&& fill) {
        // Records are packed (alignment 1), so any byte offset holds one.
        static_assert(alignof(Record) == 1);
        return stream_records(command, count, sizeof(Record), [&fill](std::byte* out, std::size_t max) {
            return fill(reinterpret_cast<Record*>(out), max);
        });
    }

private:
    static constexpr std::size_t kChunkBytes = 4u << 20;  // large writes, few system calls
    static constexpr std::size_t kHeaderBytes = 16;

    // One chunk: the header (first chunk only) and whole records.
    struct Chunk {
        std::vector<std::byte> bytes;
        std::size_t used = 0;
    };
    void fill_chunk(Chunk& chunk, bool first, std::uint64_t& left, std::size_t record_size,
                    const FillRecords& fill, bool& dry);
    bool stream_inline(std::uint64_t left, std::size_t record_size, const FillRecords& fill);
    bool stream_pipelined(std::uint64_t left, std::size_t record_size, const FillRecords& fill);
    void set_header(std::uint32_t command, std::uint64_t count, std::size_t record_size) noexcept;

    Sink& sink_;
    std::uint32_t command_ = 0;
    std::uint32_t header_[4] = {};
    Chunk chunks_[2];
};

}  // namespace qvn::terminal
