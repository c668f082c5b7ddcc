// Ticks a user imported as a price source: QSL/custom/<NAME>/symbol.ini (the
// catalogue symbol whose terms it copies, with overrides) and ticks.qvt (a
// 64-byte header, then tick records in their wire layout, oldest first).
//
// The records are served exactly as stored; they are checked once, when the
// Terminal starts, against the same rules the market model's ticks follow
// (times in order, prices positive with bid <= ask, flags and whole volumes
// derived from the ticks before them), so every other part of the Terminal
// may trust them as it trusts the model's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/wire.hpp"
#include "terminal/market/market.hpp"
#include "terminal/market/source.hpp"

namespace qvn::terminal {

inline constexpr std::string_view kTickFileMagic = "QVNTICKS";
inline constexpr std::uint32_t kTickFileVersion = 1;
inline constexpr std::size_t kTickFileHeader = 64;

// The terms of an imported symbol. The views of `terms` point into the
// strings beside it, so it stays where it was made (held by pointer).
struct ImportedTerms {
    std::string name, description, path, base, profit, margin;
    Instrument terms{};
};

// Holds the terms before the PriceSource that refers to them is made.
struct ImportedTermsHolder {
    std::unique_ptr<const ImportedTerms> held;
};

class ImportedSource final : private ImportedTermsHolder, public PriceSource {
public:
    // `ticks` must be checked (check_ticks) and not empty.
    ImportedSource(std::unique_ptr<const ImportedTerms> terms, std::u16string name, std::u16string description,
                   std::vector<wire::TickRecord> ticks);

    std::size_t size() const noexcept { return ticks_.size(); }
    const wire::TickRecord& tick(std::size_t i) const noexcept { return ticks_[i]; }
    // The first tick at or after `ms`, or size().
    std::size_t lower(std::int64_t ms) const noexcept;

    bool open_at(std::int64_t ms) const noexcept override;
    std::unique_ptr<TickReader> read(TickSpan span, TickFilter filter) const override;
    std::uint64_t count(TickSpan span, TickFilter filter, std::uint64_t limit) const override;
    std::optional<wire::TickRecord> latest(std::int64_t at_ms) const override;
    std::optional<std::int64_t> next_after(std::int64_t ms) const override;
    bool any_in(std::int64_t lo_ms, std::int64_t hi_ms) const override;
    void day_minutes(std::int64_t day, MinuteBlock& out) const override;
    Aggregate minute_upto(std::int64_t minute, std::int64_t upto_ms) const override;
    // Block by block of kQuoteBlock ticks, from bounds made at start.
    void bound_quotes(TickSpan span, const QuoteBoundsVisitor& visit) const override;

    static constexpr std::size_t kQuoteBlock = 256;

private:
    // Ticks [from, to) up to `upto_ms`, added into `a`.
    void aggregate(std::size_t from, std::size_t to, std::int64_t upto_ms, Aggregate& a) const noexcept;

    std::vector<wire::TickRecord> ticks_;
    std::vector<std::int64_t> times_;  // ticks_[i].time_msc, for searching
    // The bid and ask extremes of the quotes of each block of kQuoteBlock
    // ticks (infinite the wrong way round in a block without quotes).
    std::vector<QuoteBounds> blocks_;
    double scale_;                     // 10^digits
};

// Whether a record is selected by a filter: quotes carry BID or ASK, deals
// VOLUME or LAST; both together select every tick.
bool selected(const wire::TickRecord& t, TickFilter filter) noexcept;

// What a tick file's header says.
struct TickFileHeader {
    std::uint64_t count = 0;
    std::int64_t first_ms = 0, last_ms = 0;
};

// Checks the first bytes of a tick file (all 64 of its header, fewer when
// the file is shorter) and that the file's size holds exactly the records
// the header counts, so a reader takes memory for no more than the file
// holds; false with the fault in `error`.
bool check_tick_header(std::string_view header, std::uint64_t file_size, TickFileHeader& out, std::string& error);

// Checks the records a header counts; false with the fault (naming the first
// bad record, counted from 1) in `error`, and `ticks` emptied.
bool check_tick_records(const TickFileHeader& header, std::vector<wire::TickRecord>& ticks, std::string& error);

// Both checks over the bytes of a whole tick file, taking its records.
bool check_ticks(std::string_view bytes, std::vector<wire::TickRecord>& out, std::string& error);

// Adds the symbols of QSL/custom under `files_folder` to the market, in the
// byte order of their folder names. A symbol whose files are missing or bad
// (a linked folder, a file that is a link, a pipe or anything but a regular
// file inside it) is left out with a line on stderr naming the file and the
// fault; the Terminal starts without it.
void load_imported(Market& market, std::u16string_view files_folder);

}  // namespace qvn::terminal
