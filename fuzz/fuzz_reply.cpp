// The module's reply readers against arbitrary bytes from the Terminal.
//
// Input: one byte choosing the reply shape, one byte of options, then the
// bytes the Terminal sends. Each run sends one request and reads its reply
// with the same stream calls and reader bodies the module's commands use,
// then checks what must hold for any input:
//   - the outcome is a result code taken from the frame, or one of the
//     module's own receive failures; never a success the frame did not say;
//   - a connection left open is in step: exactly the declared frame was
//     taken from it, so the next call reads the next frame, never a rest;
//   - a success consumed its frame exactly, records included;
//   - every record block is released, also when its storage was refused;
//   - text taken from the wire always converts to valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_assert.hpp"
#include "link/stream.hpp"
#include "memory_pipe.hpp"
#include "protocol/text.hpp"
#include "protocol/wire.hpp"

namespace {

namespace link = qvn::link;
namespace wire = qvn::wire;
namespace protocol = qvn::protocol;

// ---- an allocator that counts, and refuses when told to -------------------

int g_outstanding = 0;
bool g_refuse = false;

// A count is checked against the length the frame declares, which may be
// up to 4 GiB while the peer sends far less: the storage is then reserved
// and released unfilled when the records fail to arrive (the module's
// allocators take address space, not memory, until bytes are written). No
// input of this target holds more than this many bytes, so larger storage
// could never be filled; it is refused, which also drives the readers'
// refused-storage paths, instead of reserving gigabytes on every such run.
constexpr std::size_t kLargestFillable = 1u << 20;

const link::RecordAllocator kCounting = {
    [](std::size_t bytes) noexcept -> void* {
        if (g_refuse || bytes > kLargestFillable) return nullptr;
        void* p = std::malloc(bytes);
        if (p != nullptr) ++g_outstanding;
        return p;
    },
    [](void* storage) noexcept {
        if (storage == nullptr) return;
        --g_outstanding;
        std::free(storage);
    },
    [](void* storage, std::size_t bytes) noexcept -> void* {
        if (g_refuse || bytes > kLargestFillable) return nullptr;
        return std::realloc(storage, bytes);
    },
};

// ---- text ------------------------------------------------------------------

bool valid_utf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        char32_t cp = 0;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { n = 1; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { n = 2; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { n = 3; cp = c & 0x07; }
        else return false;
        if (i + n >= s.size()) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        const char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

void check_text(const void* units, std::size_t count) {
    // Copied out first: the text may sit at any address in a packed record.
    std::u16string text(count, u'\0');
    if (count != 0) std::memcpy(text.data(), units, 2 * count);
    const std::size_t n = protocol::bounded_length(text.data(), count);
    FUZZ_ASSERT(n <= count);
    FUZZ_ASSERT(valid_utf8(protocol::utf16_to_utf8(std::u16string_view(text).substr(0, n))));
}

template <class Record>
void check_field(const Record& record, std::size_t offset, std::size_t units) {
    check_text(reinterpret_cast<const std::uint8_t*>(&record) + offset, units);
}

// ---- reply shapes ------------------------------------------------------------

enum class Shape : std::uint8_t {
    Status,        // one u32 (ready poll, handshake, totals)
    Empty,         // the result alone (login)
    Version,       // u32, u32, counted UTF-16 text
    Ticks,         // counted 60-byte tick records
    Bars,          // counted 60-byte bar records
    CallerArray,   // checked count, records read into the caller's storage
    TerminalInfo,  // one fixed record
    AccountInfo,
    SymbolInfo,
    SymbolList,    // counted symbol records
    LatestTick,    // one tick record
    Book,          // counted book levels
    Count,
};

struct ShapeInfo {
    std::uint32_t command;
    std::size_t record_size;  // of a counted list or fixed record; 0 otherwise
};

constexpr ShapeInfo kShapes[] = {
    {wire::kReadyPoll, 0},
    {wire::kLogin, 0},
    {wire::kVersion, 2},
    {wire::kTicksFrom, sizeof(wire::TickRecord)},
    {wire::kRatesFrom, sizeof(wire::BarRecord)},
    {wire::kTicksRange, sizeof(wire::TickRecord)},
    {wire::kTerminalInfo, sizeof(wire::TerminalInfoRecord)},
    {wire::kAccountInfo, sizeof(wire::AccountInfoRecord)},
    {wire::kSymbolInfo, sizeof(wire::SymbolInfoRecord)},
    {wire::kSymbolsGet, sizeof(wire::SymbolInfoRecord)},
    {wire::kSymbolInfoTick, sizeof(wire::TickRecord)},
    {wire::kBookGet, sizeof(wire::BookRecord)},
};
static_assert(std::size(kShapes) == static_cast<std::size_t>(Shape::Count));

// What a reader body produced, for the checks after the call.
struct Output {
    std::uint32_t value = 0;
    std::uint32_t first = 0;
    link::RecordBlock block;
    link::RecordBlock array;  // CallerArray: storage the caller took itself
    std::uint32_t array_count = 0;
    bool read_all_fields = false;
};

// The bytes of the result fields a successful reply of this shape holds.
std::uint64_t fields_size(Shape shape, const Output& out) {
    const ShapeInfo& info = kShapes[static_cast<std::size_t>(shape)];
    switch (shape) {
        case Shape::Status: return 4;
        case Shape::Empty: return 0;
        case Shape::Version: return 12 + std::uint64_t{out.block.count()} * 2;
        case Shape::CallerArray: return 4 + std::uint64_t{out.array_count} * info.record_size;
        case Shape::TerminalInfo:
        case Shape::AccountInfo:
        case Shape::SymbolInfo:
        case Shape::LatestTick: return info.record_size;
        default: return 4 + std::uint64_t{out.block.count()} * info.record_size;
    }
}

std::int32_t call(Shape shape, qvn::link::Channel& h, Output& out) {
    const ShapeInfo& info = kShapes[static_cast<std::size_t>(shape)];
    const auto body = [&](link::PipeReader& r) noexcept -> bool {
        bool ok = false;
        switch (shape) {
            case Shape::Status: ok = r.get(out.value); break;
            case Shape::Empty: ok = true; break;
            case Shape::Version:
                ok = r.get(out.first) && r.get(out.value) && link::read_records(r, 2, kCounting, out.block);
                break;
            case Shape::CallerArray: {
                std::size_t bytes = 0;
                if (!link::read_record_count(r, info.record_size, out.array_count, bytes)) break;
                if (bytes == 0) {
                    ok = true;
                    break;
                }
                void* storage = kCounting.allocate(bytes);
                if (storage == nullptr) break;
                out.array.adopt(storage, out.array_count, &kCounting);
                ok = r.read(storage, bytes);
                break;
            }
            case Shape::TerminalInfo: {
                wire::TerminalInfoRecord t;
                ok = r.get(t);
                if (ok)
                    for (std::size_t off : {offsetof(wire::TerminalInfoRecord, company),
                                            offsetof(wire::TerminalInfoRecord, path),
                                            offsetof(wire::TerminalInfoRecord, commondata_path)})
                        check_field(t, off, 260);
                break;
            }
            case Shape::AccountInfo: {
                wire::AccountInfoRecord a;
                ok = r.get(a);
                if (ok) {
                    check_field(a, offsetof(wire::AccountInfoRecord, name), 128);
                    check_field(a, offsetof(wire::AccountInfoRecord, company), 128);
                }
                break;
            }
            case Shape::SymbolInfo: {
                wire::SymbolInfoRecord s;
                ok = r.get(s);
                if (ok) check_field(s, offsetof(wire::SymbolInfoRecord, name), 32);
                break;
            }
            case Shape::LatestTick: {
                wire::TickRecord t;
                ok = r.get(t);
                break;
            }
            default: ok = link::read_records(r, info.record_size, kCounting, out.block); break;
        }
        out.read_all_fields = ok;
        return ok;
    };
    return link::send_command(h, info.command, body);
}

std::uint32_t load_u32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > kLargestFillable) return 0;
    const auto shape = static_cast<Shape>(data[0] % static_cast<std::uint8_t>(Shape::Count));
    g_refuse = (data[1] & 1) != 0;
    const std::span<const std::uint8_t> incoming(data + 2, size - 2);

    auto& pipe = qvn::fuzz::pipe();
    qvn::link::Channel h(qvn::fuzz::open_pipe(incoming));
    {
        Output out;
        const std::int32_t code = call(shape, h, out);

        const bool have_length = incoming.size() >= 4;
        const std::uint64_t frame = have_length ? 4 + std::uint64_t{load_u32(incoming.data())} : 0;
        const bool have_result = incoming.size() >= 12 && frame >= 12;
        const std::int32_t result = have_result ? static_cast<std::int32_t>(load_u32(incoming.data() + 8)) : 0;

        // The request went out whole: length 4, the command, nothing else.
        FUZZ_ASSERT(pipe.sent.size() == 8);

        // Open only when in step; closed at most once.
        FUZZ_ASSERT(pipe.closes <= 1);
        FUZZ_ASSERT(h.open() == pipe.open);
        if (h.open()) FUZZ_ASSERT(have_length && pipe.taken == frame);

        if (code == wire::kIpcRecvFailed || code == wire::kIpcCallFailed) {
            // The module's own failures.
        } else {
            FUZZ_ASSERT(have_result && code == result);
        }
        if (code >= 0) {
            // Success: the echo matched and the frame was consumed exactly.
            FUZZ_ASSERT(load_u32(incoming.data() + 4) == kShapes[static_cast<std::size_t>(shape)].command);
            FUZZ_ASSERT(out.read_all_fields);
            // Bytes past the frame that came with it close the connection.
            FUZZ_ASSERT(pipe.taken == frame || (pipe.taken > frame && !h.open()));
            FUZZ_ASSERT(frame == 12 + fields_size(shape, out));
            if (shape == Shape::Version)
                check_text(out.block.data(), out.block.count());
        }
        if (g_refuse) FUZZ_ASSERT(out.block.data() == nullptr);
    }
    FUZZ_ASSERT(g_outstanding == 0);

    // A connection still open answers the next call from the next frame.
    if (h.open()) {
        const std::size_t before = pipe.taken;
        Output out;
        call(Shape::Status, h, out);
        if (h.open()) FUZZ_ASSERT(pipe.taken > before);
        h.close();
    }
    FUZZ_ASSERT(g_outstanding == 0);
    return 0;
}
