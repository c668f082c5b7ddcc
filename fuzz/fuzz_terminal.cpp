// The Terminal's request handling against arbitrary request bodies.
//
// Input: a request body as the server hands it over (command code, then
// arguments; the server has already refused bodies shorter than the code).
// One Terminal, with a frozen market clock and a small response limit so
// that no single run streams gigabytes, answers every input into memory.
// What must hold for any body:
//   - exactly one response frame, its length field true to its size;
//   - the echo is the request's command and the result a known code;
//   - a refusal is the result alone;
//   - a success has the shape of its command: fixed fields, a counted text,
//     or a count followed by exactly that many records (for the commands
//     listed in fixed_fields and list_record_size).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "fuzz_assert.hpp"
#include "protocol/wire.hpp"
#include "terminal/wire/frame.hpp"
#include "terminal/store/files.hpp"
#include "terminal/terminal.hpp"

namespace {

namespace term = qvn::terminal;
namespace wire = qvn::wire;

class MemorySink final : public term::Sink {
public:
    bool write(std::span<const std::byte> bytes) override {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return true;
    }
    std::vector<std::byte> bytes_;
};

// 2024-03-15 12:00:00.250 UTC, a Friday: history on both sides of it.
constexpr std::int64_t kNowMs = 1710504000250;

struct World {
    term::Market market;
    term::TradeStore store;  // never opened: trading commands answer kFailed
    term::Terminal terminal;

    // The installation's folders, removed when the run ends.
    static inline char folder[] = "/tmp/qvn-fuzz-XXXXXX";
    static void remove_folder() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    static term::Installation installation() {
        if (::mkdtemp(folder) == nullptr) std::abort();
        std::atexit(remove_folder);
        term::Installation inst;
        inst.install_folder = term::utf16(folder);
        inst.executable = term::join(inst.install_folder, u"terminal64");
        inst.endpoint_name = "fuzz";
        inst.data_folder = term::join(inst.install_folder, u"data");
        inst.files_folder = inst.data_folder;
        inst.common_folder = term::join(inst.install_folder, u"common");
        std::string error;
        if (!term::prepare_folders(inst, error)) std::abort();
        return inst;
    }
    // Two weeks of history: every request shape is reached, while no single
    // input can ask for years of simulated ticks (a daily-bar request over
    // the default history took seconds under the sanitizers).
    static constexpr std::int64_t kHistoryStartDay = kNowMs / 86400000 - 14;

    static term::Settings settings() {
        term::Settings s;
        s.now_ms = kNowMs;
        s.history_start_day = kHistoryStartDay;
        s.no_endpoint = true;
        s.max_response_mb = 1;  // about 17 000 records a response
        return s;
    }
    World()
        : market(kHistoryStartDay, term::MarketClock(kNowMs)),
          terminal(settings(), installation(), term::builtin_accounts(), term::AccountHistory{}, market, store) {}
};

World& world() {
    static World* w = new World;  // lives for the whole run
    return *w;
}

std::uint32_t u32_at(const std::vector<std::byte>& b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

bool known_result(std::int32_t code) { return code == wire::kSuccess || (code <= -1 && code >= -8); }

// Bytes of a successful response's fields after echo and result, or -1 when
// the command's success carries a list whose size the count gives.
std::int64_t fixed_fields(std::uint32_t command) {
    switch (command) {
        case wire::kHandshake:
        case wire::kReadyPoll: return 4;
        case wire::kLogin: return 0;
        case wire::kTerminalInfo: return sizeof(wire::TerminalInfoRecord);
        case wire::kAccountInfo: return sizeof(wire::AccountInfoRecord);
        case wire::kSymbolsTotal:
        case wire::kPositionsTotal:
        case wire::kOrdersTotal:
        case wire::kHistoryOrdersTotal:
        case wire::kHistoryDealsTotal: return 4;
        case wire::kSymbolSelect:
        case wire::kBookAdd:
        case wire::kBookRelease: return 0;
        case wire::kOrderCalcMargin:
        case wire::kOrderCalcProfit: return 8;
        case wire::kSymbolInfo: return sizeof(wire::SymbolInfoRecord);
        case wire::kSymbolInfoTick: return sizeof(wire::TickRecord);
        case wire::kPositionByTicket: return sizeof(wire::TradePositionRecord);
        case wire::kOrderByTicket:
        case wire::kHistoryOrderByTicket: return sizeof(wire::TradeOrderRecord);
        case wire::kHistoryDealByTicket: return sizeof(wire::TradeDealRecord);
        case wire::kOrderCheck: return sizeof(wire::TradeCheckResultRecord);
        case wire::kOrderSend: return sizeof(wire::TradeSendResultRecord);
        default: return -1;
    }
}

std::size_t list_record_size(std::uint32_t command) {
    switch (command) {
        case wire::kTicksFrom:
        case wire::kTicksRange: return sizeof(wire::TickRecord);
        case wire::kRatesFrom:
        case wire::kRatesRange:
        case wire::kRatesFromPos: return sizeof(wire::BarRecord);
        case wire::kSymbolsGet:
        case wire::kSymbolsGetGroup: return sizeof(wire::SymbolInfoRecord);
        case wire::kBookGet: return sizeof(wire::BookRecord);
        case wire::kPositionsGet:
        case wire::kPositionsBySymbol: return sizeof(wire::TradePositionRecord);
        case wire::kOrdersGet:
        case wire::kOrdersBySymbol:
        case wire::kHistoryOrdersRange:
        case wire::kHistoryOrdersByPosition: return sizeof(wire::TradeOrderRecord);
        case wire::kHistoryDealsRange:
        case wire::kHistoryDealsByPosition: return sizeof(wire::TradeDealRecord);
        default: return 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    World& w = world();
    MemorySink sink;
    term::Exchange exchange(sink);
    const std::span<const std::byte> body(reinterpret_cast<const std::byte*>(data), size);
    term::ClientState client(w.terminal);  // one connection per input
    FUZZ_ASSERT(w.terminal.handle(body, exchange, client));

    const std::vector<std::byte>& out = sink.bytes_;
    std::uint32_t command;
    std::memcpy(&command, data, 4);
    FUZZ_ASSERT(out.size() >= 12);
    FUZZ_ASSERT(u32_at(out, 0) == out.size() - 4);
    FUZZ_ASSERT(u32_at(out, 4) == command);
    const auto result = static_cast<std::int32_t>(u32_at(out, 8));
    FUZZ_ASSERT(known_result(result));
    const std::size_t fields = out.size() - 12;
    if (result < 0) {
        FUZZ_ASSERT(fields == 0);
        return 0;
    }
    if (command == wire::kVersion) {
        FUZZ_ASSERT(fields >= 12);
        FUZZ_ASSERT(fields == 12 + 2 * std::size_t{u32_at(out, 20)});
    } else if (const std::int64_t fixed = fixed_fields(command); fixed >= 0) {
        FUZZ_ASSERT(fields == static_cast<std::size_t>(fixed));
    } else if (const std::size_t record = list_record_size(command); record != 0) {
        FUZZ_ASSERT(fields >= 4);
        const std::uint64_t count = u32_at(out, 12);
        FUZZ_ASSERT(count <= w.terminal.max_records());
        FUZZ_ASSERT(fields == 4 + count * record);
    }
    // A command without a row above is held to the frame checks alone; give
    // each new command its row so its success is checked for shape too.
    return 0;
}
