#include "terminal/market/catalogue.hpp"

#include <cstdio>

#include "protocol/text.hpp"
#include "protocol/wire.hpp"

namespace qvn::terminal {
namespace {

std::u16string widen(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::u16string decimal(std::uint32_t n) {
    std::u16string out;
    do {
        out.insert(out.begin(), static_cast<char16_t>(u'0' + n % 10));
        n /= 10;
    } while (n != 0);
    return out;
}

}  // namespace

std::u16string generated_name(std::string_view template_name, std::uint32_t n) {
    std::u16string name = widen(template_name) + u".G" + decimal(n);
    if (n % 10 == 0) {
        name += u'.';
        if (name.size() < wire::kSymbolUnits) name.append(wire::kSymbolUnits - name.size(), u'x');
    }
    return name;
}

SymbolCalcMode calc_mode(const Instrument& ins) noexcept {
    return ins.kind == MarketKind::Forex ? SymbolCalcMode::Forex : SymbolCalcMode::CfdLeverage;
}

Catalogue::Catalogue(const Market& market, std::uint32_t extra_symbols) {
    const auto& sources = market.sources();
    const std::size_t models = market.model_count();
    entries_.reserve(sources.size() + extra_symbols);
    for (std::size_t i = 0; i < models; ++i) {
        const SourceLabel& l = sources[i]->label();
        entries_.push_back({l.name, l.path, l.description, sources[i].get(), false});
    }
    for (std::uint32_t i = 0; i < extra_symbols && models != 0; ++i) {
        const PriceSource& m = *sources[i % models];
        const Instrument& ins = m.instrument();
        std::u16string name = generated_name(ins.name, i + 1);
        // "Generated\<group of the template>\<name>"
        const std::string_view group = ins.path.substr(0, ins.path.find('\\'));
        std::u16string path = u"Generated\\" + widen(group) + u"\\" + name;
        std::u16string description = widen(ins.description) + u" (generated)";
        entries_.push_back({std::move(name), std::move(path), std::move(description), &m, true});
    }
    index_.reserve(entries_.capacity());
    for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].name, i);
    for (std::size_t i = models; i < sources.size(); ++i) {
        const SourceLabel& l = sources[i]->label();
        if (index_.count(l.name) != 0) {
            std::fprintf(stderr, "terminal64: the imported symbol %s is left out: the catalogue has a symbol of that name\n",
                         protocol::utf16_to_utf8(l.name).c_str());
            continue;
        }
        entries_.push_back({l.name, l.path, l.description, sources[i].get(), true});
        index_.emplace(entries_.back().name, entries_.size() - 1);
    }
}

std::size_t Catalogue::index_of(std::u16string_view name) const {
    const auto it = index_.find(name);
    return it == index_.end() ? npos : it->second;
}

}  // namespace qvn::terminal
