// The catalogue of symbols the Terminal offers: the instruments of the
// symbol table, in their order, followed by any generated symbols asked for
// with --extra-symbols, then the symbols of imported ticks. A generated
// symbol copies the trading terms of a template instrument and shares its
// price process, so thousands of them cost no more memory or generation
// than the table itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "terminal/enums.hpp"
#include "terminal/market/market.hpp"

namespace qvn::terminal {

struct CatalogueEntry {
    std::u16string name;
    std::u16string path;         // "<group>\<subgroup>\<name>"
    std::u16string description;
    const PriceSource* source;   // prices and trading terms
    bool custom;                 // generated or imported
};

class Catalogue {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // An imported symbol whose name the catalogue already has is left out,
    // with a line on stderr.
    Catalogue(const Market& market, std::uint32_t extra_symbols);
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    std::size_t size() const noexcept { return entries_.size(); }
    const CatalogueEntry& operator[](std::size_t i) const noexcept { return entries_[i]; }
    // Index of the symbol with exactly this name (case-sensitive), or npos.
    std::size_t index_of(std::u16string_view name) const;
    const CatalogueEntry* find(std::u16string_view name) const {
        const std::size_t i = index_of(name);
        return i == npos ? nullptr : &entries_[i];
    }

private:
    std::vector<CatalogueEntry> entries_;
    std::unordered_map<std::u16string_view, std::size_t> index_;  // views into entries_
};

// Name of the generated symbol `n` (counted from 1) made from `template_name`:
// "<template>.G<n>", every tenth one padded to the longest name a client can
// send, so long names are always part of a large catalogue.
std::u16string generated_name(std::string_view template_name, std::uint32_t n);

// Trading terms that follow from the kind of market.
SymbolCalcMode calc_mode(const Instrument& ins) noexcept;

}  // namespace qvn::terminal
