// The comment of each trade return code, as results carry it.
#include <array>

#include "terminal/trading/engine.hpp"

namespace qvn::terminal {

std::u16string_view retcode_comment(TradeRetcode code) noexcept {
    struct Row {
        TradeRetcode code;
        std::u16string_view text;
    };
    static constexpr std::array kRows = {
        Row{TradeRetcode::Done, u"Request executed"},
        Row{TradeRetcode::Placed, u"Order placed"},
        Row{TradeRetcode::DonePartial, u"Request executed partially"},
        Row{TradeRetcode::Reject, u"Request rejected"},
        Row{TradeRetcode::Cancel, u"Request canceled"},
        Row{TradeRetcode::Error, u"Request processing error"},
        Row{TradeRetcode::Invalid, u"Invalid request"},
        Row{TradeRetcode::InvalidVolume, u"Invalid volume"},
        Row{TradeRetcode::InvalidPrice, u"Invalid price"},
        Row{TradeRetcode::InvalidStops, u"Invalid stops"},
        Row{TradeRetcode::TradeDisabled, u"Trade disabled"},
        Row{TradeRetcode::MarketClosed, u"Market closed"},
        Row{TradeRetcode::NoMoney, u"Not enough money"},
        Row{TradeRetcode::PriceChanged, u"Price changed"},
        Row{TradeRetcode::PriceOff, u"No quotes"},
        Row{TradeRetcode::InvalidExpiration, u"Invalid expiration"},
        Row{TradeRetcode::NoChanges, u"No changes"},
        Row{TradeRetcode::Frozen, u"Order or position frozen"},
        Row{TradeRetcode::InvalidFill, u"Unsupported filling mode"},
        Row{TradeRetcode::LimitOrders, u"Too many pending orders"},
        Row{TradeRetcode::LimitVolume, u"Volume limit reached"},
        Row{TradeRetcode::InvalidOrder, u"Invalid or unknown order"},
        Row{TradeRetcode::PositionClosed, u"Position already closed"},
        Row{TradeRetcode::InvalidCloseVolume, u"Close volume exceeds the position"},
        Row{TradeRetcode::LimitPositions, u"Too many positions"},
        Row{TradeRetcode::HedgeProhibited, u"Opposite positions prohibited"},
        Row{TradeRetcode::CloseOnly, u"Only closing is allowed"},
        Row{TradeRetcode::Storage, u"Trade could not be stored"},
    };
    for (const Row& r : kRows)
        if (r.code == code) return r.text;
    return u"Unknown result";
}

}  // namespace qvn::terminal
