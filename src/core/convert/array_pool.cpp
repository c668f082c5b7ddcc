#include "convert/array_pool.hpp"

#include "convert/numpy.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/platform.hpp"

namespace qvn::convert {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kPooledMin = std::size_t{4} << 20;  // smaller blocks come from the C heap
constexpr std::size_t kKept = 2;                           // idle blocks kept at most
constexpr auto kIdleLimit = std::chrono::seconds(30);

// Every block starts with this header; the array's data follows it (16-byte
// aligned, as the C heap's). `mapped` is the size of the mapping the block
// is, or 0 for a block from the C heap of `size` bytes of data.
struct Header {
    std::size_t mapped;
    std::size_t size;
};
constexpr std::size_t kHeader = 16;
static_assert(sizeof(Header) <= kHeader);

Header* header_of(void* data) noexcept { return reinterpret_cast<Header*>(static_cast<char*>(data) - kHeader); }
void* data_of(void* block) noexcept { return static_cast<char*>(block) + kHeader; }

// Mapping size for `bytes` of data; 0 when it would overflow.
std::size_t mapping_for(std::size_t bytes) noexcept {
    const std::size_t page = platform::page_size();
    if (bytes > SIZE_MAX - kHeader - page) return 0;
    return (bytes + kHeader + page - 1) / page * page;
}

struct Idle {
    void* block = nullptr;
    std::size_t mapped = 0;
    Clock::time_point since{};
};

// Blocks to unmap once the pool's lock is let go: unmapping a large block
// takes time, and other threads may be freeing arrays meanwhile.
struct Dropped {
    Idle blocks[kKept + 1];
    std::size_t n = 0;
    ~Dropped() {
        for (std::size_t i = 0; i < n; ++i) platform::unmap_block(blocks[i].block, blocks[i].mapped);
    }
};

struct Pool {
    std::mutex mutex;
    Idle idle[kKept];

    // Under the lock: moves blocks idle for too long (all with `everything`) to `out`.
    void expire(Dropped& out, bool everything) noexcept {
        const Clock::time_point now = Clock::now();
        for (Idle& slot : idle) {
            if (slot.block != nullptr && (everything || now - slot.since > kIdleLimit)) {
                out.blocks[out.n++] = slot;
                slot = Idle{};
            }
        }
    }
};

// Never destroyed: arrays may be freed at interpreter exit after static
// destructors have run. Null (no pooling) only when it could not be made.
Pool* pool() noexcept {
    static Pool* const instance = new (std::nothrow) Pool;
    return instance;
}

thread_local std::size_t t_expected = 0;

void* map_new(std::size_t bytes) noexcept {
    const std::size_t mapped = mapping_for(bytes);
    void* block = mapped != 0 ? platform::map_block(mapped) : nullptr;
    if (block == nullptr) return nullptr;
    *static_cast<Header*>(block) = Header{mapped, bytes};
    return data_of(block);
}

// Resizes a mapped block to hold `bytes` of data; null (the block intact) when it cannot.
void* remap(void* data, std::size_t bytes) noexcept {
    Header* h = header_of(data);
    const std::size_t mapped = mapping_for(bytes);
    void* block = mapped != 0 ? platform::remap_block(h, h->mapped, mapped) : nullptr;
    if (block == nullptr) return nullptr;
    *static_cast<Header*>(block) = Header{mapped, bytes};
    return data_of(block);
}

// Whether `a` serves `need` bytes better than `b`: holding them beats not;
// then the smaller of two that hold them, the larger of two that do not.
bool better(const Idle& a, const Idle& b, std::size_t need) noexcept {
    const bool a_fits = a.mapped >= need, b_fits = b.mapped >= need;
    if (a_fits != b_fits) return a_fits;
    return a_fits ? a.mapped < b.mapped : a.mapped > b.mapped;
}

// `bytes` of data in a reused block when one is idle: the smallest that
// holds `want`, else the largest (grown in place of a fresh one).
void* take(std::size_t bytes, std::size_t want) noexcept {
    Pool* p = pool();
    Idle chosen;
    if (p != nullptr) {
        Dropped expired;
        const std::lock_guard<std::mutex> lock(p->mutex);
        p->expire(expired, false);
        const std::size_t need = want > SIZE_MAX - kHeader ? SIZE_MAX : want + kHeader;
        Idle* best = nullptr;
        for (Idle& slot : p->idle) {
            if (slot.block == nullptr) continue;
            if (best == nullptr || better(slot, *best, need)) best = &slot;
        }
        if (best != nullptr) std::swap(chosen, *best);
    }
    if (chosen.block == nullptr) return map_new(bytes);
    static_cast<Header*>(chosen.block)->size = bytes;
    void* data = data_of(chosen.block);
    if (bytes <= chosen.mapped - kHeader) return data;
    void* grown = remap(data, bytes);
    if (grown != nullptr) return grown;
    platform::unmap_block(chosen.block, chosen.mapped);
    return map_new(bytes);
}

// A mapped block NumPy freed: kept in a free slot, or in place of the block
// idle longest, which goes back to the system.
void give_back(Header* block) noexcept {
    Pool* p = pool();
    Dropped dropped;
    if (p == nullptr) {
        dropped.blocks[dropped.n++] = Idle{block, block->mapped, {}};
        return;
    }
    const std::lock_guard<std::mutex> lock(p->mutex);
    p->expire(dropped, false);
    Idle* slot = &p->idle[0];
    for (Idle& s : p->idle)
        if (s.block == nullptr || (slot->block != nullptr && s.since < slot->since)) slot = &s;
    if (slot->block != nullptr) dropped.blocks[dropped.n++] = *slot;
    *slot = Idle{block, block->mapped, Clock::now()};
}

// ---- The handler NumPy calls ------------------------------------------------

void* on_malloc(void*, std::size_t bytes) noexcept {
    if (bytes >= kPooledMin) return take(bytes, std::max(bytes, t_expected));
    if (bytes > SIZE_MAX - kHeader) return nullptr;
    void* block = std::malloc(kHeader + bytes);
    if (block == nullptr) return nullptr;
    *static_cast<Header*>(block) = Header{0, bytes};
    return data_of(block);
}

// Zeroed storage is never asked for inside a scope; the C heap serves it.
void* on_calloc(void*, std::size_t count, std::size_t size) noexcept {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes) || bytes > SIZE_MAX - kHeader) return nullptr;
    void* block = std::calloc(1, kHeader + bytes);
    if (block == nullptr) return nullptr;
    *static_cast<Header*>(block) = Header{0, bytes};
    return data_of(block);
}

void on_free(void*, void* data, std::size_t) noexcept {
    if (data == nullptr) return;
    Header* h = header_of(data);
    if (h->mapped != 0)
        give_back(h);
    else
        std::free(h);
}

void* on_realloc(void* ctx, void* data, std::size_t bytes) noexcept {
    if (data == nullptr) return on_malloc(ctx, bytes);
    Header* h = header_of(data);
    if (h->mapped != 0) {
        if (bytes <= h->mapped - kHeader) {
            h->size = bytes;
            return data;
        }
        return remap(data, bytes);
    }
    if (bytes >= kPooledMin) {  // leaves the C heap for a block of its own
        void* moved = take(bytes, bytes);
        if (moved == nullptr) return nullptr;
        std::memcpy(moved, data, std::min(h->size, bytes));
        std::free(h);
        return moved;
    }
    if (bytes > SIZE_MAX - kHeader) return nullptr;
    void* block = std::realloc(h, kHeader + bytes);
    if (block == nullptr) return nullptr;
    static_cast<Header*>(block)->size = bytes;
    return data_of(block);
}

PyDataMem_Handler handler = {
    "quorvane_pool",
    1,
    {nullptr, on_malloc, on_calloc, on_realloc, on_free},
};

// The handler as NumPy takes it, made once and kept: every array made with
// it holds a reference, so it outlives the module's own state.
PyObject* handler_capsule() noexcept {
    static PyObject* capsule = nullptr;
    if (capsule == nullptr) {
        capsule = PyCapsule_New(&handler, "mem_handler", nullptr);
        if (capsule == nullptr) PyErr_Clear();
    }
    return capsule;
}

}  // namespace

PooledArrays::PooledArrays(std::size_t expected) noexcept {
    {
        Dropped expired;
        if (Pool* p = pool()) {
            const std::lock_guard<std::mutex> lock(p->mutex);
            p->expire(expired, false);
        }
    }
    PyObject* capsule = handler_capsule();
    if (capsule == nullptr) return;
    previous_ = PyDataMem_SetHandler(capsule);
    if (previous_ == nullptr) {
        PyErr_Clear();
        return;
    }
    saved_expected_ = t_expected;
    t_expected = expected;
}

PooledArrays::~PooledArrays() {
    if (previous_ == nullptr) return;
    t_expected = saved_expected_;
    PyObject* ours = PyDataMem_SetHandler(previous_);
    if (ours == nullptr) PyErr_Clear();
    Py_XDECREF(ours);
    Py_DECREF(previous_);
}

void fit_pooled(void* data, std::size_t bytes) noexcept {
    if (data == nullptr) return;
    Header* h = header_of(data);
    const std::size_t mapped = mapping_for(bytes);
    if (h->mapped <= mapped || mapped == 0 || h->mapped - mapped <= std::max(mapped / 8, kPooledMin)) return;
    if (platform::remap_block(h, h->mapped, mapped) == h) h->mapped = mapped;  // shrinking stays in place
}

void release_idle_blocks() noexcept {
    Dropped all;
    if (Pool* p = pool()) {
        const std::lock_guard<std::mutex> lock(p->mutex);
        p->expire(all, true);
    }
}

}  // namespace qvn::convert
