#include "link/stream.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace qvn::link {

using platform::Io;

const RecordAllocator kHeapAllocator = {
    [](std::size_t bytes) noexcept { return std::malloc(bytes); },
    [](void* storage) noexcept { std::free(storage); },
    [](void* storage, std::size_t bytes) noexcept { return std::realloc(storage, bytes); },
};

// ---- Deadlines ---------------------------------------------------------------

namespace {

// Slices of a wait under a deadline: an interrupt from another thread is
// seen between them where the system's wait does not end for it.
constexpr unsigned kSliceMs = 50;

// Under the channel's deadline, waits until a transfer can go on without
// waiting: false when the deadline passes first (the channel is marked
// expired) or another thread interrupts. Without a deadline, true at once.
bool ready_in_time(Channel& channel, bool write) noexcept {
    const std::uint64_t at = channel.deadline();
    if (at == 0) return true;
    for (;;) {
        if (channel.interrupted()) return false;
        const std::uint64_t now = platform::monotonic_ms();
        if (now >= at) {
            channel.set_expired();
            return false;
        }
        const std::uint64_t left = at - now;
        if (platform::wait_transfer(channel.get(), write, left < kSliceMs ? static_cast<unsigned>(left) : kSliceMs))
            return true;
    }
}

// read_all under the channel's deadline: each read waits for bytes first.
Io read_in_time(Channel& channel, std::uint8_t* data, std::size_t n) noexcept {
    while (n > 0) {
        if (!ready_in_time(channel, false)) return Io::Failed;
        std::size_t moved = 0;
        if (const Io io = platform::read_some(channel.get(), data, n, moved); io != Io::Ok) return io;
        data += moved;
        n -= moved;
    }
    return Io::Ok;
}

}  // namespace

// ---- Writer ----------------------------------------------------------------

// A failed or partial write leaves an unknown part of the request on the
// wire, so the connection is closed: the Terminal would otherwise take the
// next request's bytes as the rest of this one.
bool PipeWriter::send(const void* data, std::size_t n) noexcept {
    if (failed_ || !channel_.open()) {
        failed_ = true;
        return false;
    }
    if (LocalPeer* local = channel_.local()) {
        if (!channel_.interrupted() && local->write(data, n)) return true;
    } else if (!channel_.interrupted()) {
        // A request usually fits the socket's buffer: it goes at once, and
        // only a request that has to wait for room waits as others run.
        std::size_t moved = 0;
        Io io = platform::write_now(channel_.get(), data, n, moved);
        if (io != Io::Ok && !started_ && platform::peer_closed(channel_.get())) {
            // Nothing of the request went: the peer had gone before it.
            peer_gone_ = true;
            failed_ = true;
            channel_.close();
            return false;
        }
        started_ = true;
        if (io == Io::Ok && moved < n) {
            // Under a deadline, once there is room: a request sent then is
            // small (initialize's), and the rest of it fits at once.
            const BlockingWait wait(channel_);
            io = ready_in_time(channel_, true)
                     ? platform::write_all(channel_.get(), static_cast<const std::uint8_t*>(data) + moved, n - moved)
                     : Io::Failed;
        }
        if (io == Io::Ok) return true;
    }
    failed_ = true;
    channel_.close();
    return false;
}

bool PipeWriter::write(const void* data, std::size_t n) noexcept {
    if (failed_) return false;
    auto bytes = static_cast<const std::uint8_t*>(data);
    if (n <= free_) {
        std::memcpy(block_ + used_, bytes, n);
        used_ += static_cast<std::uint32_t>(n);
        free_ -= static_cast<std::uint32_t>(n);
        return true;
    }
    const std::size_t head = free_;
    std::memcpy(block_ + used_, bytes, head);
    if (!send(block_, wire::kBlockSize)) return false;
    used_ = 0;
    free_ = wire::kBlockSize;
    const std::size_t rest = n - head;
    if (rest <= wire::kBlockSize) {
        std::memcpy(block_, bytes + head, rest);
        used_ = static_cast<std::uint32_t>(rest);
        free_ = static_cast<std::uint32_t>(wire::kBlockSize - rest);
        return true;
    }
    return send(bytes + head, rest);
}

bool PipeWriter::put_text(std::u16string_view text) noexcept {
    const auto count = static_cast<std::uint32_t>(text.size());
    return put(count) && write(text.data(), 2 * text.size());
}

// ---- Reader ----------------------------------------------------------------

bool PipeReader::usable() const noexcept {
    return !stream_failed_ && channel_.open() && !channel_.interrupted();
}

void PipeReader::close_stream() noexcept {
    stream_failed_ = true;
    channel_.close();
}

bool PipeReader::receive(void* destination, std::size_t n) noexcept {
    if (LocalPeer* local = channel_.local()) {
        if (usable() && local->read_all(destination, n) == Io::Ok) return true;
    } else if (usable()) {
        // The rest of a reply has mostly arrived with its start: what is
        // there is taken at once, and only what is still to come is waited
        // for as others run.
        std::size_t moved = 0;
        Io io = platform::read_now(channel_.get(), destination, n, moved);
        if (io == Io::Ok && moved < n) {
            const BlockingWait wait(channel_);
            auto* rest = static_cast<std::uint8_t*>(destination) + moved;
            io = channel_.deadline() == 0 ? platform::read_all(channel_.get(), rest, n - moved)
                                          : read_in_time(channel_, rest, n - moved);
        }
        if (io == Io::Ok) return true;
    }
    // The response's remaining length is unknown now.
    close_stream();
    return false;
}

bool PipeReader::begin() noexcept {
    due_ = pos_ = avail_ = 0;
    // The Terminal is still at work: its reply is waited for as others run.
    // The length field and what came with it are taken in one read, so a
    // short reply, which arrives whole, costs one system call.
    std::size_t got = 0;
    while (got < 4) {
        std::size_t moved = 0;
        Io io = Io::Failed;
        if (LocalPeer* local = channel_.local()) {
            if (usable()) io = local->read_some(block_ + got, sizeof block_ - got, moved);
        } else if (usable()) {
            const BlockingWait wait(channel_);
            if (ready_in_time(channel_, false))
                io = platform::read_some(channel_.get(), block_ + got, sizeof block_ - got, moved);
        }
        if (io != Io::Ok) {
            close_stream();
            return false;
        }
        got += moved;
    }
    std::uint32_t length = 0;
    std::memcpy(&length, block_, 4);
    const std::size_t body = got - 4;
    pos_ = 4;
    avail_ = static_cast<std::uint32_t>(body < length ? body : length);
    due_ = length - avail_;
    if (body > length) {
        // Bytes past the reply's end answer no request: the stream is out of
        // step. This reply, whole in the block, is still read; the
        // connection is closed so that no later call takes them for its own.
        close_stream();
    }
    return true;
}

bool PipeReader::read_on(void* destination, std::size_t n) noexcept {
    auto out = static_cast<std::uint8_t*>(destination);
    std::memcpy(out, block_ + pos_, avail_);
    out += avail_;
    n -= avail_;
    avail_ = 0;
    pos_ = 0;
    if (n > due_) return false;  // the response is shorter than its fields
    if (n < wire::kDirectReadMin && n != due_) {
        const std::uint32_t chunk = due_ < wire::kBlockSize ? due_ : static_cast<std::uint32_t>(wire::kBlockSize);
        if (!receive(block_, chunk)) return false;
        std::memcpy(out, block_, n);
        pos_ = static_cast<std::uint32_t>(n);
        avail_ = chunk - static_cast<std::uint32_t>(n);
        due_ -= chunk;
        return true;
    }
    if (!receive(out, n)) return false;
    due_ -= static_cast<std::uint32_t>(n);
    return true;
}

void PipeReader::recover() noexcept {
    avail_ = 0;
    pos_ = 0;
    if (stream_failed_) return;  // already closed
    // Bounded by the length the Terminal itself declared for this response.
    while (due_ > 0) {
        const std::uint32_t chunk = due_ < wire::kBlockSize ? due_ : static_cast<std::uint32_t>(wire::kBlockSize);
        if (!receive(block_, chunk)) return;
        due_ -= chunk;
    }
}

// ---- Counted record arrays -------------------------------------------------

bool read_counted(PipeReader& reader, std::size_t record_size, std::size_t first_bytes, RecordStorage& storage,
                  std::uint32_t& count, const RecordProgress* progress) noexcept {
    std::size_t bytes = 0;
    if (record_size == 0 || !read_record_count(reader, record_size, count, bytes)) return false;
    storage.expect(bytes);
    std::size_t held = std::min(bytes, std::max<std::size_t>(1, first_bytes / record_size) * record_size);
    std::size_t filled = 0;
    for (;;) {
        if (!storage.reserve(held, held == bytes)) return false;
        if (progress == nullptr) {
            if (held > filled && !reader.read(storage.data() + filled, held - filled)) return false;
        } else {
            while (filled < held) {
                const std::size_t n = std::min(std::max<std::size_t>(progress->piece, 1), held - filled);
                if (!reader.read(storage.data() + filled, n)) return false;
                filled += n;
                progress->arrived(progress->context, storage.data(), filled / record_size, count);
            }
        }
        filled = held;
        if (filled == bytes) return true;
        held = bytes - held > held ? 2 * held : bytes;
    }
}

namespace {

class HeapStorage final : public RecordStorage {
public:
    explicit HeapStorage(const RecordAllocator& alloc) noexcept : alloc_(alloc) {}
    HeapStorage(const HeapStorage&) = delete;
    HeapStorage& operator=(const HeapStorage&) = delete;
    ~HeapStorage() {
        if (data_ != nullptr) alloc_.release(data_);
    }

    bool reserve(std::size_t bytes, bool) noexcept override {
        if (bytes <= capacity_) return true;
        void* grown = data_ == nullptr        ? alloc_.allocate(bytes)
                      : alloc_.resize != nullptr ? alloc_.resize(data_, bytes)
                                                 : nullptr;
        if (grown == nullptr) return false;
        data_ = grown;
        capacity_ = bytes;
        return true;
    }
    std::byte* data() noexcept override { return static_cast<std::byte*>(data_); }
    void* release() noexcept {
        void* d = data_;
        data_ = nullptr;
        return d;
    }

private:
    const RecordAllocator& alloc_;
    void* data_ = nullptr;
    std::size_t capacity_ = 0;
};

}  // namespace

bool read_records(PipeReader& reader, std::size_t record_size, const RecordAllocator& alloc, RecordBlock& out,
                  const RecordProgress* progress) noexcept {
    out.reset();
    HeapStorage storage(alloc);
    std::uint32_t count = 0;
    const std::size_t first = alloc.resize != nullptr ? kRecordStep : SIZE_MAX;
    if (!read_counted(reader, record_size, first, storage, count, progress)) return false;
    out.adopt(storage.release(), count, &alloc);
    return true;
}

}  // namespace qvn::link
