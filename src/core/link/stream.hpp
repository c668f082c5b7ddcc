// The framed pipe stream: one buffered writer for requests, one buffered
// reader for responses, and the call sequence every command shares.
//
// A request is  u32 length, u32 command, arguments.
// A response is u32 length, u32 echoed command, i32 result, result fields.
// Both travel through 16384-byte blocks on the caller's stack; pieces of 8192
// bytes and more bypass the reader's block and land in their destination.
//
// The stream never goes out of step with the Terminal: a reply that fails
// because it was malformed (too long, too short, a count that does not fit)
// is drained to its declared end, and a stream whose transfer failed is
// closed, so the next call never reads stale bytes as its answer.
//
// A transfer that has to wait for the Terminal does so as a blocking wait
// (see channel.hpp): other threads run meanwhile. A call's last send and
// the first read of its reply share one wait. An interrupted channel
// fails its transfers like a broken connection, and is closed the same way;
// so does a channel whose deadline (see CallDeadline) passes during a
// transfer.
//
// A channel to a peer in this process (local.hpp) carries the same frames:
// a request is answered by the time its last byte is sent, its reply is
// read from memory, and nothing waits (nor lets go of the interpreter lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "link/channel.hpp"
#include "link/lazy_clock.hpp"
#include "platform/platform.hpp"
#include "protocol/wire.hpp"

namespace qvn::link {

class PipeWriter {
public:
    // Starts a request whose arguments take `args_size` bytes.
    PipeWriter(Channel& channel, std::uint32_t command, std::uint32_t args_size) noexcept : channel_(channel) {
        const std::uint32_t length = 4 + args_size;
        std::memcpy(block_, &length, 4);
        std::memcpy(block_ + 4, &command, 4);
        used_ = 8;
        free_ = wire::kBlockSize - 8;
    }
    PipeWriter(const PipeWriter&) = delete;
    PipeWriter& operator=(const PipeWriter&) = delete;

    bool write(const void* data, std::size_t n) noexcept;

    template <class T>
    bool put(const T& value) noexcept {
        static_assert(std::is_trivially_copyable_v<T>);
        if (!failed_ && sizeof value <= free_) {  // most values: a copy of known size into the block
            std::memcpy(block_ + used_, &value, sizeof value);
            used_ += static_cast<std::uint32_t>(sizeof value);
            free_ -= static_cast<std::uint32_t>(sizeof value);
            return true;
        }
        return write(&value, sizeof value);
    }

    // A wide string: u32 count of UTF-16 units, then the units.
    bool put_text(std::u16string_view text) noexcept;

    // Sends what the block holds; true when every byte was written.
    bool flush() noexcept {
        if (failed_) return false;
        if (used_ == 0) return true;
        if (!send(block_, used_)) return false;
        used_ = 0;
        free_ = wire::kBlockSize;
        return true;
    }

    std::uint32_t used() const noexcept { return used_; }

    // True when the request failed because the peer had gone before any of
    // it was sent (the connection was already closed when it failed).
    bool peer_gone() const noexcept { return peer_gone_; }

private:
    bool send(const void* data, std::size_t n) noexcept;

    Channel& channel_;
    std::uint32_t used_ = 0;
    std::uint32_t free_ = wire::kBlockSize;
    bool failed_ = false;
    bool started_ = false;  // some send of this request has moved bytes
    bool peer_gone_ = false;
    alignas(8) std::uint8_t block_[wire::kBlockSize];
};

// Bytes a wide string takes on the wire.
constexpr std::uint32_t text_size(std::u16string_view text) noexcept {
    return static_cast<std::uint32_t>(4 + 2 * text.size());
}

class PipeReader {
public:
    explicit PipeReader(Channel& channel) noexcept : channel_(channel) {}
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;

    // Waits for the response and reads its length field.
    bool begin() noexcept;

    // Takes the next `n` bytes of the response; false when the response has
    // fewer bytes left or the stream fails.
    bool read(void* destination, std::size_t n) noexcept {
        if (n > avail_) return read_on(destination, n);
        std::memcpy(destination, block_ + pos_, n);
        pos_ += static_cast<std::uint32_t>(n);
        avail_ -= static_cast<std::uint32_t>(n);
        return true;
    }

    template <class T>
    bool get(T& value) noexcept {
        static_assert(std::is_trivially_copyable_v<T>);
        if (sizeof value <= avail_) {  // most values: a copy of known size out of the block
            std::memcpy(&value, block_ + pos_, sizeof value);
            pos_ += static_cast<std::uint32_t>(sizeof value);
            avail_ -= static_cast<std::uint32_t>(sizeof value);
            return true;
        }
        return read_on(&value, sizeof value);
    }

    // True when the response was consumed to its last byte.
    bool complete() const noexcept { return due_ == 0 && avail_ == 0; }

    // Bytes of the response not yet handed out.
    std::uint64_t remaining() const noexcept { return std::uint64_t{due_} + avail_; }

    // Puts the stream back in step after a failed reply: drains what is left
    // of the declared length, or closes a stream that itself failed.
    void recover() noexcept;

    bool stream_failed() const noexcept { return stream_failed_; }

private:
    // read() of more bytes than the block still holds of the reply.
    bool read_on(void* destination, std::size_t n) noexcept;
    // Takes exactly `n` more bytes of the reply, most of them already there.
    bool receive(void* destination, std::size_t n) noexcept;
    // Not failed, still open and not interrupted: a transfer may go on.
    bool usable() const noexcept;
    // Fails the stream and closes the connection, so that no later call
    // reads what is left of this reply as its own.
    void close_stream() noexcept;

    Channel& channel_;
    std::uint32_t due_ = 0;
    std::uint32_t pos_ = 0;
    std::uint32_t avail_ = 0;
    bool stream_failed_ = false;
    alignas(8) std::uint8_t block_[wire::kBlockSize];
};

// ---- Counted record arrays -------------------------------------------------

// Storage a counted reply is read into, grown as its records arrive.
class RecordStorage {
public:
    // Room for `bytes` bytes, what it held kept; false when that room cannot
    // be had. `whole`: these bytes are the whole reply, no growth follows.
    virtual bool reserve(std::size_t bytes, bool whole) noexcept = 0;
    // Where the storage starts now: growing may move it.
    virtual std::byte* data() noexcept = 0;
    // The bytes the reply declares, checked against its frame, told before
    // the first reserve; a hint only, as the records may never arrive.
    virtual void expect(std::size_t) noexcept {}

protected:
    ~RecordStorage() = default;
};

// Reads a u32 record count and checks it before any memory is taken:
// count × record_size must not overflow and must fit in the bytes the frame
// still holds, so a broken peer cannot make us allocate what it never sends.
// `bytes` receives count × record_size.
inline bool read_record_count(PipeReader& reader, std::size_t record_size, std::uint32_t& count,
                              std::size_t& bytes) noexcept {
    count = 0;
    bytes = 0;
    if (!reader.get(count)) return false;
    if (__builtin_mul_overflow(static_cast<std::size_t>(count), record_size, &bytes)) return false;
    return bytes <= reader.remaining();  // else it promises more than the frame holds
}

// Told while a counted reply arrives: `arrived` of its `count` records are
// in the storage, which starts at `records` now. The records are read in
// pieces of at most `piece` bytes, each told as it lands, so that work on
// them overlaps the transfer of the rest (and finds them in the cache).
struct RecordProgress {
    void (*arrived)(void* context, const std::byte* records, std::size_t arrived, std::size_t count) noexcept;
    void* context;
    std::size_t piece;
};

// Reads a u32 count (checked as read_record_count does) and count records of
// `record_size` bytes into `storage`. The storage follows what has arrived
// rather than what was declared: it starts with at most `first_bytes` (whole
// records, at least one) and doubles each time what it holds has arrived,
// never beyond the declared records, so a peer that declares a huge frame
// and sends little makes us reserve little. A count of 0 reserves 0 bytes
// (and tells `progress` nothing).
bool read_counted(PipeReader& reader, std::size_t record_size, std::size_t first_bytes, RecordStorage& storage,
                  std::uint32_t& count, const RecordProgress* progress = nullptr) noexcept;

// Where heap record storage comes from; the release must match the
// allocation. `resize` (realloc-like: the old block stays valid when it
// fails) lets storage grow as records arrive; without it the whole array is
// taken at once.
struct RecordAllocator {
    void* (*allocate)(std::size_t bytes) noexcept;
    void (*release)(void* storage) noexcept;
    void* (*resize)(void* storage, std::size_t bytes) noexcept;
};

// The first storage of a counted array on the heap: 16 MiB, then doubling.
inline constexpr std::size_t kRecordStep = std::size_t{16} << 20;

extern const RecordAllocator kHeapAllocator;  // malloc/free

// Owns storage taken from a RecordAllocator.
class RecordBlock {
public:
    RecordBlock() = default;
    RecordBlock(const RecordBlock&) = delete;
    RecordBlock& operator=(const RecordBlock&) = delete;
    ~RecordBlock() { reset(); }

    void* data() const noexcept { return data_; }
    std::uint32_t count() const noexcept { return count_; }
    void adopt(void* data, std::uint32_t count, const RecordAllocator* alloc) noexcept {
        reset();
        data_ = data;
        count_ = count;
        alloc_ = alloc;
    }
    // Hands the storage over; the caller releases it from now on.
    void* release() noexcept {
        void* d = data_;
        data_ = nullptr;
        return d;
    }
    void reset() noexcept {
        if (data_ != nullptr && alloc_ != nullptr) alloc_->release(data_);
        data_ = nullptr;
        count_ = 0;
    }

private:
    void* data_ = nullptr;
    std::uint32_t count_ = 0;
    const RecordAllocator* alloc_ = nullptr;
};

// read_counted into heap storage from `alloc` (kRecordStep first when it can
// resize). A count of 0 takes no storage. On failure nothing is handed over.
bool read_records(PipeReader& reader, std::size_t record_size, const RecordAllocator& alloc, RecordBlock& out,
                  const RecordProgress* progress = nullptr) noexcept;

// ---- The call sequence -----------------------------------------------------

// Sends one request and reads its reply. `args(writer)` appends the
// arguments (`args_size` bytes); `body(reader)` reads the result fields after
// echo and result. Returns the outcome: NoIpcConnection, IpcSendFailed (also
// for a request made while another is in progress on this thread: see
// InFlight), IpcRecvFailed (or the negative result already read),
// IpcCallFailed for a wrong echo, IpcTimeout when the channel's deadline
// passed (the connection is then closed), else the Terminal's result code.
template <class Args, class Body>
std::int32_t transact(Channel& channel, std::uint32_t command, std::uint32_t args_size,
                      Args&& args, Body&& body) noexcept {
    if (channel.busy()) return wire::kIpcSendFailed;
    // A Terminal that has gone away (exited, crashed, dropped us) leaves a
    // connection that can carry nothing more: it counts as no connection.
    // Where a send to such a peer fails at once, the request's first send
    // finds that out (see PipeWriter::send); elsewhere it is asked first.
    if (!platform::kSendShowsClosedPeer && channel.open() && channel.local() == nullptr &&
        platform::peer_closed(channel.get()))
        channel.close();
    if (!channel.open()) return wire::kNoIpcConnection;
    // A tick backtest's clock moves to the current tick first (lazy_clock.hpp).
    if (command != kClockMoveCommand && command != kClockStepCommand && lazy_clock_pending())
        if (const std::int32_t moved = settle_lazy_clock(channel); moved != wire::kSuccess) return moved;
    const InFlight in_flight(channel);
    RequestWait wait(channel);
    {
        PipeWriter writer(channel, command, args_size);
        bool sent = args(writer);
        if (sent) {
            wait.start();
            sent = writer.flush();
        }
        if (!sent) {
            if (channel.expired()) return wire::kIpcTimeout;
            return writer.peer_gone() ? wire::kNoIpcConnection : wire::kIpcSendFailed;
        }
    }
    PipeReader reader(channel);
    const bool begun = reader.begin();
    wait.finish();  // the reply's fields may become Python objects as they are read
    std::uint32_t echo = 0;
    std::int32_t field = 0;
    std::int32_t result = 0;  // stays 0 unless the whole result field arrived
    const bool ok = begun && reader.get(echo) && reader.get(field) && ((result = field), true) && body(reader) &&
                    reader.complete();
    if (!ok) {
        reader.recover();
        if (channel.expired()) return wire::kIpcTimeout;
        return result < 0 ? result : wire::kIpcRecvFailed;
    }
    if (echo != command) return wire::kIpcCallFailed;
    return result;
}

inline bool no_args(PipeWriter&) noexcept { return true; }
inline bool no_fields(PipeReader&) noexcept { return true; }

// A request without arguments.
template <class Body>
std::int32_t send_command(Channel& channel, std::uint32_t command, Body&& body) noexcept {
    return transact(channel, command, 0, no_args, body);
}

// A request with one wide string.
template <class Body>
std::int32_t send_command_text(Channel& channel, std::uint32_t command, std::u16string_view text,
                               Body&& body) noexcept {
    return transact(channel, command, text_size(text),
                    [text](PipeWriter& w) noexcept { return w.put_text(text); }, body);
}

// A request with one 8-byte argument.
template <class Body>
std::int32_t send_command_u64(Channel& channel, std::uint32_t command, std::uint64_t value,
                              Body&& body) noexcept {
    return transact(channel, command, 8, [value](PipeWriter& w) noexcept { return w.put(value); }, body);
}

// The reply of exactly one u32 after echo and result.
inline auto status_reply(std::uint32_t& value) noexcept {
    return [&value](PipeReader& r) noexcept { return r.get(value); };
}

}  // namespace qvn::link
