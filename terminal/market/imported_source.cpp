#include "terminal/market/imported_source.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "protocol/text.hpp"
#include "terminal/enums.hpp"
#include "terminal/market/symbol_files.hpp"
#include "terminal/store/files.hpp"
#include "terminal/text/ini.hpp"

namespace qvn::terminal {
namespace {

constexpr std::uint32_t kQuoteFlags = kTickBid | kTickAsk;
constexpr std::uint32_t kDealFlags = kTickVolume | kTickLast;
// Whole volumes are u64; sizes from 2^63 on cannot be rounded into one.
constexpr double kMaxVolume = 9223372036854775808.0;
// A hundred million ticks (6 GB) at most: a header counting more is refused
// before anything is read.
constexpr std::uint64_t kMaxTicks = 100'000'000;
// A [Symbol] section of a few keys: a symbol.ini beyond is not one.
constexpr std::uint64_t kMaxIni = 1u << 20;

class Reader final : public TickReader {
public:
    Reader(const ImportedSource& s, std::size_t from, std::size_t to, TickFilter filter)
        : s_(s), next_(from), end_(to), all_(filter.quotes && filter.deals), filter_(filter) {}

    std::size_t fill(wire::TickRecord* out, std::size_t max) override {
        std::size_t n = 0;
        for (; next_ < end_ && n < max; ++next_)
            if (all_ || selected(s_.tick(next_), filter_)) std::memcpy(&out[n++], &s_.tick(next_), sizeof(wire::TickRecord));
        return n;
    }

private:
    const ImportedSource& s_;
    std::size_t next_, end_;
    bool all_;
    TickFilter filter_;
};

std::string record_fault(std::uint64_t i, const std::string& what) { return "record " + std::to_string(i + 1) + ": " + what; }

// The shortest text that reads back as `v`, as the writer of the file printed it.
std::string number(double v) {
    char text[40];
    const auto done = std::to_chars(text, text + sizeof text, v);
    return std::string(text, done.ptr);
}

// What a tick's flags and whole volume must be, given the tick before it
// (none for the first) and the last non-zero deal price before it.
std::uint32_t expected_flags(const wire::TickRecord& t, const wire::TickRecord* before, double last_price) {
    const double bid = t.bid, ask = t.ask, last = t.last, size = t.volume_real;
    std::uint32_t flags = 0;
    if (before == nullptr || bid != before->bid) flags |= kTickBid;
    if (before == nullptr || ask != before->ask) flags |= kTickAsk;
    if (size > 0) flags |= kTickVolume;
    if (last != 0 && last != last_price) flags |= kTickLast;
    return flags;
}

std::uint64_t expected_volume(double size) {
    if (!(size > 0)) return 0;
    double whole = std::floor(size);
    if (size - whole >= 0.5) whole += 1;
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(whole));
}

bool parse_digits(const std::string& text, int& out) {
    if (text.size() != 1 || text[0] < '0' || text[0] > '8') return false;
    out = text[0] - '0';
    return true;
}

bool parse_positive(const std::string& text, double& out) {
    if (text.empty() || text.size() > 40) return false;
    char* end = nullptr;
    const std::string copy = text;
    out = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size() && std::isfinite(out) && out > 0 && out < 1e15;
}

bool currency_code(const std::string& text) {
    if (text.empty() || text.size() > 15) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    });
}

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// The terms from symbol.ini; false with the fault in `error`.
bool read_terms(std::string_view ini, const std::string& name, ImportedTerms& out, std::string& error) {
    const IniFile file = parse_ini(ini);
    const IniSection* s = file.find("Symbol");
    const std::string* like = s != nullptr ? s->find("like") : nullptr;
    if (like == nullptr) {
        error = "no like= in its [Symbol] section";
        return false;
    }
    const Instrument* base = find_symbol(protocol::path_to_utf16(*like));
    if (base == nullptr) {
        error = "like=" + *like + " is not a catalogue symbol";
        return false;
    }
    Instrument& ins = out.terms;
    ins = *base;
    out.name = name;
    out.path = "Custom\\" + name;
    out.description = std::string(base->description);
    out.base = std::string(base->currency_base);
    out.profit = std::string(base->currency_profit);
    out.margin = std::string(base->currency_margin);
    for (const auto& [key, value] : s->entries) {
        if (iequals(key, "like")) continue;
        bool ok = true;
        if (iequals(key, "digits")) {
            ok = parse_digits(value, ins.digits);
            // A price step of one point of the new digits.
            ins.tick_points = 1;
        } else if (iequals(key, "contract_size")) {
            ok = parse_positive(value, ins.contract_size);
            // Money is exact only for a contract of whole 10^-8 units.
            if (ok && decimal_of(ins.contract_size).decimals > kMaxContractDecimals) {
                error = "contract_size=" + value + " has more than " + std::to_string(kMaxContractDecimals) +
                        " decimals";
                return false;
            }
        } else if (iequals(key, "currency_base")) {
            ok = currency_code(value);
            out.base = upper(value);
        } else if (iequals(key, "currency_profit")) {
            ok = currency_code(value);
            out.profit = upper(value);
        } else if (iequals(key, "currency_margin")) {
            ok = currency_code(value);
            out.margin = upper(value);
        } else if (iequals(key, "description")) {
            out.description = value.substr(0, protocol::utf8_boundary(value, 63));
        } else {
            error = "unknown key " + key;
            return false;
        }
        if (!ok) {
            error = "bad value " + key + "=" + value;
            return false;
        }
    }
    ins.name = out.name;
    ins.description = out.description;
    ins.path = out.path;
    ins.currency_base = out.base;
    ins.currency_profit = out.profit;
    ins.currency_margin = out.margin;
    return true;
}

bool valid_name(std::u16string_view name) {
    if (name.empty() || name.size() > wire::kSymbolUnits || name == u"." || name == u"..") return false;
    return std::none_of(name.begin(), name.end(), [](char16_t c) {
        return c < 32 || c == u'/' || c == u'\\' || c == u':' || c == u'*' || c == u'?' || c == u'"' ||
               c == u'<' || c == u'>' || c == u'|';
    });
}

}  // namespace

bool selected(const wire::TickRecord& t, TickFilter filter) noexcept {
    const std::uint32_t flags = t.flags;
    if (filter.quotes && filter.deals) return true;
    return (filter.quotes && (flags & kQuoteFlags) != 0) || (filter.deals && (flags & kDealFlags) != 0);
}

bool check_tick_header(std::string_view header, std::uint64_t file_size, TickFileHeader& out, std::string& error) {
    constexpr std::size_t kRecord = sizeof(wire::TickRecord);
    if (header.size() < kTickFileHeader || file_size < kTickFileHeader || header.substr(0, 8) != kTickFileMagic) {
        error = "not a tick file (no QVNTICKS header)";
        return false;
    }
    std::uint32_t version = 0, record_size = 0;
    std::memcpy(&version, header.data() + 8, 4);
    std::memcpy(&record_size, header.data() + 12, 4);
    std::memcpy(&out.count, header.data() + 16, 8);
    std::memcpy(&out.first_ms, header.data() + 24, 8);
    std::memcpy(&out.last_ms, header.data() + 32, 8);
    if (version != kTickFileVersion || record_size != kRecord) {
        error = "version " + std::to_string(version) + " with records of " + std::to_string(record_size) +
                " bytes; this Terminal reads version 1 with records of 60 bytes";
        return false;
    }
    if (header.substr(40, kTickFileHeader - 40).find_first_not_of('\0') != std::string_view::npos) {
        error = "the header's reserved bytes are not zero";
        return false;
    }
    const std::uint64_t body = file_size - kTickFileHeader, count = out.count;
    if (count > kMaxTicks) {
        error = "the header counts " + std::to_string(count) + " records; this Terminal reads at most " +
                std::to_string(kMaxTicks);
        return false;
    }
    if (count == 0 || body != count * kRecord) {
        error = "the header counts " + std::to_string(count) + " records, the file holds " +
                std::to_string(body / kRecord) + (body % kRecord != 0 ? " and a part of one" : "");
        if (count == 0 && body == 0) error = "no ticks";
        return false;
    }
    return true;
}

bool check_tick_records(const TickFileHeader& header, std::vector<wire::TickRecord>& ticks, std::string& error) {
    const std::int64_t lo = kProcessFirstDay * kMsPerDay;
    double last_price = 0;
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        const wire::TickRecord& t = ticks[i];
        const wire::TickRecord* before = i == 0 ? nullptr : &ticks[i - 1];
        const std::int64_t ms = t.time_msc, sec = t.time;
        const double bid = t.bid, ask = t.ask, price = t.last, size = t.volume_real;
        std::string fault;
        if (ms < lo || ms >= kProcessEndMs)
            fault = "time_msc " + std::to_string(ms) + " lies outside the years 2000 to 2099";
        else if (before != nullptr && ms < before->time_msc)
            fault = "time_msc " + std::to_string(ms) + " is before the previous tick's";
        else if (sec != floor_div(ms, 1000))
            fault = "time " + std::to_string(sec) + " is not time_msc / 1000";
        else if (!(std::isfinite(bid) && bid > 0) || !(std::isfinite(ask) && ask > 0))
            fault = "bid " + number(bid) + " and ask " + number(ask) + " must be positive numbers";
        else if (bid > ask)
            fault = "bid " + number(bid) + " is above ask " + number(ask);
        else if (!(std::isfinite(price) && price >= 0))
            fault = "last " + number(price) + " must be 0 or more";
        else if (!(size >= 0 && size < kMaxVolume))
            fault = "volume_real " + number(size) + " must be 0 or more and below 2^63";
        else if (t.volume != expected_volume(size))
            fault = "volume " + std::to_string(static_cast<std::uint64_t>(t.volume)) + " is not volume_real " +
                    number(size) + " rounded";
        else if (const std::uint32_t want = expected_flags(t, before, last_price); t.flags != want)
            fault = "flags " + std::to_string(static_cast<std::uint32_t>(t.flags)) + " where the ticks give " +
                    std::to_string(want);
        if (!fault.empty()) {
            error = record_fault(i, fault);
            ticks.clear();
            return false;
        }
        if (price != 0) last_price = price;
    }
    if (ticks.empty() || header.first_ms != ticks.front().time_msc || header.last_ms != ticks.back().time_msc) {
        error = "the header's first and last times differ from the records'";
        ticks.clear();
        return false;
    }
    return true;
}

bool check_ticks(std::string_view bytes, std::vector<wire::TickRecord>& out, std::string& error) {
    out.clear();
    TickFileHeader header;
    if (!check_tick_header(bytes.substr(0, kTickFileHeader), bytes.size(), header, error)) return false;
    out.resize(static_cast<std::size_t>(header.count));
    std::memcpy(out.data(), bytes.data() + kTickFileHeader, out.size() * sizeof(wire::TickRecord));
    return check_tick_records(header, out, error);
}

ImportedSource::ImportedSource(std::unique_ptr<const ImportedTerms> terms, std::u16string name,
                               std::u16string description, std::vector<wire::TickRecord> ticks)
    : ImportedTermsHolder{std::move(terms)},
      PriceSource(held->terms, SourceLabel{name, u"Custom\\" + name, std::move(description), true},
                  floor_div(ticks.front().time_msc, kMsPerDay), floor_div(ticks.back().time_msc, kMsPerDay) + 1),
      ticks_(std::move(ticks)),
      scale_(decimal_scale(held->terms.digits)) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    times_.reserve(ticks_.size());
    blocks_.reserve(ticks_.size() / kQuoteBlock + 1);
    for (std::size_t i = 0; i < ticks_.size(); ++i) {
        const wire::TickRecord& t = ticks_[i];
        const std::int64_t ms = t.time_msc;  // copied: a packed field binds no reference
        times_.push_back(ms);
        if (i % kQuoteBlock == 0) blocks_.push_back(QuoteBounds{{}, inf, -inf, inf, -inf});
        if (!selected(t, TickFilter{true, false})) continue;
        const double bid = t.bid, ask = t.ask;
        QuoteBounds& b = blocks_.back();
        b.bid_lo = std::min(b.bid_lo, bid);
        b.bid_hi = std::max(b.bid_hi, bid);
        b.ask_lo = std::min(b.ask_lo, ask);
        b.ask_hi = std::max(b.ask_hi, ask);
    }
}

std::size_t ImportedSource::lower(std::int64_t ms) const noexcept {
    return static_cast<std::size_t>(std::lower_bound(times_.begin(), times_.end(), ms) - times_.begin());
}

bool ImportedSource::open_at(std::int64_t ms) const noexcept { return ms >= times_.front() && ms <= times_.back(); }

std::unique_ptr<TickReader> ImportedSource::read(TickSpan span, TickFilter filter) const {
    if (span.empty()) return std::make_unique<Reader>(*this, 0, 0, filter);
    return std::make_unique<Reader>(*this, lower(span.lo_ms), lower(span.hi_ms + 1), filter);
}

std::uint64_t ImportedSource::count(TickSpan span, TickFilter filter, std::uint64_t limit) const {
    if (span.empty()) return 0;
    const std::size_t from = lower(span.lo_ms), to = lower(span.hi_ms + 1);
    if (filter.quotes && filter.deals) return to - from;
    std::uint64_t n = 0;
    for (std::size_t i = from; i < to && n <= limit; ++i) n += selected(ticks_[i], filter) ? 1 : 0;
    return n;
}

std::optional<wire::TickRecord> ImportedSource::latest(std::int64_t at_ms) const {
    const std::size_t i = lower(at_ms + 1);
    if (i == 0) return std::nullopt;
    return ticks_[i - 1];
}

std::optional<std::int64_t> ImportedSource::next_after(std::int64_t ms) const {
    const std::size_t i = lower(ms + 1);
    if (i == times_.size()) return std::nullopt;
    return times_[i];
}

bool ImportedSource::any_in(std::int64_t lo_ms, std::int64_t hi_ms) const {
    const std::size_t i = lower(lo_ms);
    return lo_ms <= hi_ms && i < times_.size() && times_[i] <= hi_ms;
}

void ImportedSource::aggregate(std::size_t from, std::size_t to, std::int64_t upto_ms, Aggregate& a) const noexcept {
    std::int64_t spread = 0;
    for (std::size_t i = from; i < to && times_[i] <= upto_ms; ++i) {
        const wire::TickRecord& t = ticks_[i];
        const double bid = t.bid;
        const std::int64_t points = std::llround(t.ask * scale_) - std::llround(bid * scale_);
        if (a.ticks == 0) {
            a.open = a.high = a.low = bid;
            spread = points;
        }
        a.high = std::max(a.high, bid);
        a.low = std::min(a.low, bid);
        a.close = bid;
        spread = std::min(spread, points);
        if ((t.flags & kDealFlags) != 0) a.volume += t.volume;
        ++a.ticks;
    }
    if (a.ticks != 0) a.spread = static_cast<std::int32_t>(spread);
}

void ImportedSource::day_minutes(std::int64_t day, MinuteBlock& out) const {
    out.fill(Aggregate{});
    std::size_t i = lower(day * kMsPerDay);
    const std::size_t end = lower((day + 1) * kMsPerDay);
    while (i < end) {
        const std::int64_t minute = floor_div(times_[i], kMsPerMinute);
        const std::size_t next = lower((minute + 1) * kMsPerMinute);
        aggregate(i, next, kProcessEndMs, out[static_cast<std::size_t>(minute - day * kMinutesPerDay)]);
        i = next;
    }
}

Aggregate ImportedSource::minute_upto(std::int64_t minute, std::int64_t upto_ms) const {
    Aggregate a;
    aggregate(lower(minute * kMsPerMinute), lower((minute + 1) * kMsPerMinute), upto_ms, a);
    return a;
}

void ImportedSource::bound_quotes(TickSpan span, const QuoteBoundsVisitor& visit) const {
    if (span.empty()) return;
    const std::size_t end = lower(span.hi_ms + 1);
    for (std::size_t i = lower(span.lo_ms); i < end;) {
        const std::size_t next = std::min(end, (i / kQuoteBlock + 1) * kQuoteBlock);
        QuoteBounds b = blocks_[i / kQuoteBlock];
        b.span = TickSpan{times_[i], times_[next - 1]};
        if (!visit(b)) return;
        i = next;
    }
}

namespace {

// symbol.ini whole, its size checked before it is read.
bool read_ini(const SymbolFolder& folder, std::string& out, std::string& error) {
    SymbolFile file;
    if (!file.open(folder, u"symbol.ini", error)) return false;
    if (file.size() > kMaxIni) {
        error = "holds " + std::to_string(file.size()) + " bytes; a symbol.ini holds at most " +
                std::to_string(kMaxIni);
        return false;
    }
    out.resize(static_cast<std::size_t>(file.size()));
    if (!file.read(out.data(), out.size()) || !file.at_end()) {
        error = "changed while it was read";
        return false;
    }
    return true;
}

// ticks.qvt: its header first, then as many records as the header counts
// and the file's size holds, read straight into their place.
bool read_ticks(const SymbolFolder& folder, std::vector<wire::TickRecord>& out, std::string& error) {
    SymbolFile file;
    if (!file.open(folder, u"ticks.qvt", error)) return false;
    char header[kTickFileHeader] = {};
    const std::size_t got = file.size() < kTickFileHeader ? static_cast<std::size_t>(file.size()) : kTickFileHeader;
    TickFileHeader h;
    if (!file.read(header, got)) {
        error = "changed while it was read";
        return false;
    }
    if (!check_tick_header(std::string_view(header, got), file.size(), h, error)) return false;
    out.resize(static_cast<std::size_t>(h.count));
    if (!file.read(out.data(), out.size() * sizeof(wire::TickRecord)) || !file.at_end()) {
        error = "changed while it was read";
        out.clear();
        return false;
    }
    return check_tick_records(h, out, error);
}

}  // namespace

void load_imported(Market& market, std::u16string_view files_folder) {
    const std::u16string root = join(join(files_folder, u"QSL"), u"custom");
    std::string text, error;
    for (const std::u16string& folder_name : list_folders(root)) {
        const std::u16string path = join(root, folder_name);
        const auto refuse = [&](const std::u16string& file, const std::string& why) {
            std::fprintf(stderr, "terminal64: %s: %s; the symbol %s is left out\n",
                         protocol::utf16_to_utf8(file).c_str(), why.c_str(),
                         protocol::utf16_to_utf8(folder_name).c_str());
        };
        if (!valid_name(folder_name)) {
            refuse(path, "not a symbol name (1 to 29 characters, no path separators)");
            continue;
        }
        // Left out here, not only from the catalogue: a source the market
        // keeps would still price currency conversions.
        if (find_symbol(folder_name) != nullptr) {
            refuse(path, "the catalogue has a symbol of that name");
            continue;
        }
        SymbolFolder folder;
        if (!folder.open(path, error)) {
            refuse(path, error);
            continue;
        }
        const std::u16string ini_path = join(path, u"symbol.ini");
        const std::u16string ticks_path = join(path, u"ticks.qvt");
        auto terms = std::make_unique<ImportedTerms>();
        if (!read_ini(folder, text, error) || !read_terms(text, protocol::utf16_to_utf8(folder_name), *terms, error)) {
            refuse(ini_path, error);
            continue;
        }
        std::vector<wire::TickRecord> ticks;
        try {
            if (!read_ticks(folder, ticks, error)) {
                refuse(ticks_path, error);
                continue;
            }
            std::u16string description = protocol::path_to_utf16(terms->description);
            market.add_source(std::make_unique<ImportedSource>(std::move(terms), folder_name, std::move(description),
                                                               std::move(ticks)));
        } catch (const std::bad_alloc&) {
            // The header's count passed every check, but this machine has
            // not the memory for its ticks: the symbol goes, the start goes on.
            ticks = {};
            refuse(ticks_path, "its ticks do not fit in the memory at hand");
        }
    }
}

}  // namespace qvn::terminal
