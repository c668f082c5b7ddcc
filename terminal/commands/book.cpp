// Depth of Market commands. Subscriptions belong to the client connection
// that made them and end with it; a subscription also keeps its symbol in
// Market Watch.
//
// Result codes: an unknown symbol is kNotFound; getting or releasing a book
// the connection has not subscribed to is kFailed.
#include "protocol/wire.hpp"
#include "terminal/market/book.hpp"
#include "terminal/terminal.hpp"

namespace qvn::terminal {
namespace {

namespace wire = qvn::wire;

// The symbol a book request names: kSuccess with `index` set, or the code
// to answer.
std::int32_t book_symbol(const Terminal& terminal, RequestReader& in, std::size_t& index) {
    std::u16string name;
    if (!in.wide(name) || !in.done()) return wire::kInvalidParams;
    return terminal.symbol_index(name, index);
}

}  // namespace

bool Terminal::on_book_add(std::uint32_t cmd, RequestReader& in, Exchange& ex, ClientState& client) {
    std::size_t i = 0;
    if (const std::int32_t code = book_symbol(*this, in, i); code != wire::kSuccess) return ex.status(cmd, code);
    client.books.add(i);
    return ex.status(cmd, wire::kSuccess);
}

bool Terminal::on_book_release(std::uint32_t cmd, RequestReader& in, Exchange& ex, ClientState& client) {
    std::size_t i = 0;
    if (const std::int32_t code = book_symbol(*this, in, i); code != wire::kSuccess) return ex.status(cmd, code);
    return ex.status(cmd, client.books.release(i) ? wire::kSuccess : wire::kFailed);
}

bool Terminal::on_book_get(std::uint32_t cmd, RequestReader& in, Exchange& ex, ClientState& client) {
    std::size_t i = 0;
    if (const std::int32_t code = book_symbol(*this, in, i); code != wire::kSuccess) return ex.status(cmd, code);
    if (!client.books.holds(i)) return ex.status(cmd, wire::kFailed);
    const PriceSource& s = *catalogue_[i].source;
    const auto quote = s.latest(market_.now_ms());
    const std::vector<wire::BookRecord> levels = quote ? make_book(s, *quote) : std::vector<wire::BookRecord>{};
    Response r(cmd, wire::kSuccess);
    r.put(static_cast<std::uint32_t>(levels.size()));
    if (!levels.empty()) r.put_bytes(levels.data(), levels.size() * sizeof(wire::BookRecord));
    return ex.send(r);
}

}  // namespace qvn::terminal
