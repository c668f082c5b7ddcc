#include "terminal/wire/frame.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace qvn::terminal {

bool RequestReader::wide(std::u16string& out) {
    std::uint32_t count = 0;
    if (!read(count)) return false;
    if ((data_.size() - pos_) / 2 < count) return false;
    out.resize(count);
    std::memcpy(out.data(), data_.data() + pos_, static_cast<std::size_t>(count) * 2);
    pos_ += static_cast<std::size_t>(count) * 2;
    return true;
}

Response::Response(std::uint32_t command, std::int32_t result) {
    const std::uint32_t length = 0;
    put(length);
    put(command);
    put(result);
}

void Response::put_bytes(const void* data, std::size_t n) {
    if (n == 0) return;
    if (!on_heap_ && n <= kInlineBytes - size_) {
        std::memcpy(inline_ + size_, data, n);
        size_ += n;
        return;
    }
    if (!on_heap_) {
        heap_.reserve(std::max(2 * kInlineBytes, size_ + n));
        heap_.assign(inline_, inline_ + size_);
        on_heap_ = true;
    }
    const auto* p = static_cast<const std::byte*>(data);
    heap_.insert(heap_.end(), p, p + n);
    size_ = heap_.size();
}

void Response::put_wide(std::u16string_view text) {
    put(static_cast<std::uint32_t>(text.size()));
    put_bytes(text.data(), text.size() * 2);
}

std::span<const std::byte> Response::frame() {
    const auto length = static_cast<std::uint32_t>(size_ - 4);
    std::memcpy(data(), &length, sizeof length);
    return {data(), size_};
}

bool Exchange::status(std::uint32_t command, std::int32_t code) {
    Response r(command, code);
    return send(r);
}

void Exchange::fill_chunk(Chunk& chunk, bool first, std::uint64_t& left, std::size_t record_size,
                          const FillRecords& fill, bool& dry) {
    if (chunk.bytes.size() < kChunkBytes) chunk.bytes.resize(kChunkBytes);
    chunk.used = 0;
    if (first) {
        std::memcpy(chunk.bytes.data(), header_, kHeaderBytes);
        chunk.used = kHeaderBytes;
    }
    const std::size_t room = (kChunkBytes - chunk.used) / record_size;
    const std::size_t want = left < room ? static_cast<std::size_t>(left) : room;
    std::byte* out = chunk.bytes.data() + chunk.used;
    std::size_t got = 0;
    if (!dry) {
        try {
            got = fill(out, want);
        } catch (...) {
            got = 0;  // reported below as a short fill
        }
    }
    if (got < want) {
        if (!dry)
            std::fprintf(stderr, "terminal64: command %u produced %llu records fewer than counted; padded\n",
                         command_, static_cast<unsigned long long>(left - got));
        dry = true;
        std::memset(out + got * record_size, 0, (want - got) * record_size);
    }
    chunk.used += want * record_size;
    left -= want;
}

void Exchange::set_header(std::uint32_t command, std::uint64_t count, std::size_t record_size) noexcept {
    command_ = command;
    header_[0] = static_cast<std::uint32_t>(12 + count * record_size);
    header_[1] = command;
    header_[2] = 1;
    header_[3] = static_cast<std::uint32_t>(count);
}

bool Exchange::stream_records(std::uint32_t command, std::uint64_t count, std::size_t record_size,
                              const FillRecords& fill) {
    set_header(command, count, record_size);
    // A pipeline pays off once there is more than one chunk to send.
    if (kHeaderBytes + count * record_size <= kChunkBytes) return stream_inline(count, record_size, fill);
    return stream_pipelined(count, record_size, fill);
}

bool Exchange::stream_slice(std::uint32_t command, std::span<const std::byte> slice, std::uint64_t rest,
                            std::size_t record_size, const FillRecords& fill) {
    const std::size_t in_slice = slice.size() / record_size;
    const std::uint64_t count = in_slice + rest;
    set_header(command, count, record_size);
    // A small reply goes out in one write: the header, the slice from where
    // it lies and the records after it, gathered (a sink that cannot
    // gather joins them). A large slice is written from where it lies too,
    // the rest in chunks.
    if (kHeaderBytes + count * record_size <= kChunkBytes) {
        bool dry = false;
        std::uint64_t left = rest;
        fill_chunk(chunks_[0], false, left, record_size, fill, dry);
        const std::span<const std::byte> pieces[] = {std::as_bytes(std::span(header_)), slice,
                                                     std::span(chunks_[0].bytes.data(), chunks_[0].used)};
        return sink_.write_pieces(std::span<const std::span<const std::byte>>(pieces));
    }
    if (!sink_.write(std::as_bytes(std::span(header_))) || !sink_.write(slice)) return false;
    bool dry = false;
    while (rest > 0) {
        fill_chunk(chunks_[0], false, rest, record_size, fill, dry);
        if (!sink_.write(std::span(chunks_[0].bytes.data(), chunks_[0].used))) return false;
    }
    return true;
}

bool Exchange::stream_inline(std::uint64_t left, std::size_t record_size, const FillRecords& fill) {
    bool dry = false;
    fill_chunk(chunks_[0], true, left, record_size, fill, dry);
    return sink_.write(std::span(chunks_[0].bytes.data(), chunks_[0].used));
}

bool Exchange::stream_pipelined(std::uint64_t left, std::size_t record_size, const FillRecords& fill) {
    // Two chunks alternate between the producer (filling) and this thread
    // (writing). `ready[i]` is true while chunk i waits to be written.
    std::mutex mutex;
    std::condition_variable changed;
    bool ready[2] = {false, false};
    bool stop = false;     // the writer gave up: the client is gone
    bool finished = false; // the producer filled its last chunk
    int last_chunk = -1;

    std::thread producer;
    try {
        producer = std::thread([&] {
            bool dry = false;
            for (int i = 0;; ++i) {
                Chunk& c = chunks_[i % 2];
                {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, [&] { return stop || !ready[i % 2]; });
                    if (stop) return;
                }
                fill_chunk(c, i == 0, left, record_size, fill, dry);
                std::lock_guard lock(mutex);
                ready[i % 2] = true;
                if (left == 0) {
                    finished = true;
                    last_chunk = i;
                }
                changed.notify_all();
                if (finished) return;
            }
        });
    } catch (...) {
        // No thread to spare: generate and write in turn.
        bool dry = false;
        for (bool first = true; left > 0 || first; first = false) {
            fill_chunk(chunks_[0], first, left, record_size, fill, dry);
            if (!sink_.write(std::span(chunks_[0].bytes.data(), chunks_[0].used))) return false;
        }
        return true;
    }

    bool ok = true;
    for (int i = 0;; ++i) {
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return ready[i % 2]; });
        }
        const Chunk& c = chunks_[i % 2];
        ok = sink_.write(std::span(c.bytes.data(), c.used));
        std::lock_guard lock(mutex);
        ready[i % 2] = false;
        if (!ok) stop = true;
        changed.notify_all();
        if (!ok || (finished && i == last_chunk)) break;
    }
    producer.join();
    return ok;
}

}  // namespace qvn::terminal
