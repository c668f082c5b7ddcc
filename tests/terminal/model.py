"""A reference model of one paper-trading account of the bundled Terminal.

Written from the trading rules of terminal/README.md, never from the
engine: given the same requests and clock, it predicts every record and
figure the Terminal reports. Market data comes from a `market` object:
instrument(name) -> Instrument or None; quote(name, t_ms) -> (time_msc,
bid, ask) of the latest quote tick at or before t_ms; ticks(name, a_ms,
b_ms) -> (times, bids, asks) arrays of the quote ticks in [a_ms, b_ms].
Amounts are rounded to the account's currency digits, volumes to 1e-8.
"""

from __future__ import annotations

from fractions import Fraction

import numpy as np

from model_requests import Requests
from model_terms import (
    BUY, BUY_LIMIT, BUY_STOP, BUY_STOP_LIMIT, COMMISSION_USD_PER_LOT, DAY_MS, DEAL_BALANCE, ENTRY_IN, ENTRY_INOUT,
    ENTRY_OUT, FOREX, FX_PAIRS, GTC, ORDER_EXPIRED, ORDER_FILLED, ORDER_PLACED, REASON_CLIENT, REASON_EXPERT,
    REASON_SL, REASON_SO, REASON_TP, SELL, SELL_LIMIT, SELL_STOP, SELL_STOP_LIMIT, STOP_OUT_LEVEL, SWAP_DISABLED,
    Instrument, Terms, exact, is_buy, night_factor, round_double, round_half_away, vol,
)


class Account(Requests):
    """The state of one account and the rules that change it."""

    def __init__(self, market, terms: Terms, now_ms: int, first_ticket: int = 1):
        self.market = market
        self.terms = terms
        self.now_ms = now_ms
        self.balance = Fraction(0)
        self.positions: dict[int, dict] = {}
        self.orders: dict[int, dict] = {}
        self.history_orders: list[dict] = []
        self.deals: list[dict] = []
        self.next_ticket = first_ticket
        self.next_rollover = (now_ms // DAY_MS + 1) * DAY_MS
        self._concerns: str | None = None  # the symbol the request being handled is about
        self._deal(dict(order=0, type=DEAL_BALANCE, entry=ENTRY_IN, magic=0, position_id=0, reason=REASON_CLIENT,
                        volume=0.0, price=0.0, commission=0.0, swap=0.0, profit=terms.balance, symbol="",
                        comment="Initial deposit"), now_ms)

    # ---- money -------------------------------------------------------------

    def _bid_ask(self, symbol: str, t_ms: int) -> tuple[float, float]:
        return self.market.quote(symbol, t_ms)[1:]

    # An amount that needs no conversion is exact: a Fraction of decimals,
    # rounded exactly. A converted one is the exact amount converted in
    # double precision: a float, rounded as doubles are (round(x × 10^d) / 10^d).

    def money(self, x: Fraction | float) -> float:
        if isinstance(x, float):
            return round_double(x, self.terms.digits)
        return round_half_away(x, self.terms.digits)

    def convert(self, amount: Fraction | float, frm: str, to: str, t_ms: int) -> Fraction | float:
        """× bid of a FROM/TO pair, ÷ ask of a TO/FROM pair, else through USD."""
        if frm == to:
            return amount
        if frm + to in FX_PAIRS:
            return float(amount) * self._bid_ask(frm + to, t_ms)[0]
        if to + frm in FX_PAIRS:
            return float(amount) / self._bid_ask(to + frm, t_ms)[1]
        return self.convert(self.convert(amount, frm, "USD", t_ms), "USD", to, t_ms)

    def profit_in_account(self, ins: Instrument, amount: Fraction, close_price: float, t_ms: int) -> Fraction:
        acc = self.terms.currency
        if ins.profit == acc:
            return amount
        if ins.base == acc:
            return float(amount) / close_price
        return self.convert(amount, ins.profit, acc, t_ms)

    @staticmethod
    def raw_profit(ins: Instrument, ptype: int, volume: float, open_price: float, close_price: float) -> Fraction:
        diff = exact(close_price) - exact(open_price)
        return (diff if ptype == BUY else -diff) * exact(ins.contract) * exact(volume)

    def exact_profit(self, ins, ptype, volume, open_price, close_price, t_ms) -> Fraction:
        return self.profit_in_account(ins, self.raw_profit(ins, ptype, volume, open_price, close_price),
                                      close_price, t_ms)

    def margin_part(self, ins: Instrument, volume: float, price: float) -> tuple[Fraction, str]:
        """A position's exact margin and its currency (the account's when
        it needs no conversion)."""
        acc = self.terms.currency
        lots = exact(volume) * exact(ins.contract)
        if ins.calc_mode == FOREX:
            m = lots / self.terms.leverage
            if ins.margin == ins.base and ins.profit == acc:
                return m * exact(price), acc
            return m, ins.margin
        return lots * exact(price) / self.terms.leverage, ins.profit

    def exact_margin(self, ins: Instrument, volume: float, price: float, t_ms: int) -> Fraction:
        amount, currency = self.margin_part(ins, volume, price)
        return self.convert(amount, currency, self.terms.currency, t_ms)

    def total(self, exact_part: Fraction, converted: list[Fraction]) -> float:
        """A sum of amounts, rounded: those that need no conversion add up
        exactly; each converted one (the exact sum of a symbol's positions,
        or of one side of them for a profit, converted once) is added to
        that in double precision, in symbol order, buys first."""
        if not converted:
            return self.money(exact_part)
        x = float(exact_part)
        for c in converted:
            x += c
        return self.money(x)

    def commission(self, volume: float, t_ms: int) -> float:
        return -self.money(self.convert(COMMISSION_USD_PER_LOT * exact(volume), "USD", self.terms.currency, t_ms))

    def close_price(self, p: dict, t_ms: int) -> float:
        bid, ask = self._bid_ask(p["symbol"], t_ms)
        return bid if p["type"] == BUY else ask

    def float_profit(self, p: dict, t_ms: int) -> Fraction:
        ins = self.market.instrument(p["symbol"])
        return self.exact_profit(ins, p["type"], p["volume"], p["price_open"], self.close_price(p, t_ms), t_ms)

    def open_profit(self, positions: list[dict], t_ms: int) -> float:
        """The floating profits summed, then rounded, plus the swaps."""
        exact_part, groups = Fraction(0), {}
        for p in positions:
            ins = self.market.instrument(p["symbol"])
            raw = self.raw_profit(ins, p["type"], p["volume"], p["price_open"], self.close_price(p, t_ms))
            if ins.profit == self.terms.currency:
                exact_part += raw
            else:  # by symbol and side: a side has one closing price
                groups[p["symbol"], p["type"]] = groups.get((p["symbol"], p["type"]), Fraction(0)) + raw
        converted = [self.profit_in_account(self.market.instrument(name), raw, self.close_price(
            dict(symbol=name, type=side), t_ms), t_ms) for (name, side), raw in sorted(groups.items())]
        floating = self.total(exact_part, converted)
        return self.money(exact(floating) + sum((exact(p["swap"]) for p in positions), Fraction(0)))

    def open_margin(self, positions: list[dict], t_ms: int) -> float:
        exact_part, groups = Fraction(0), {}
        for p in positions:
            amount, currency = self.margin_part(self.market.instrument(p["symbol"]), p["volume"], p["price_open"])
            if currency == self.terms.currency:
                exact_part += amount
            else:
                key = p["symbol"], currency
                groups[key] = groups.get(key, Fraction(0)) + amount
        converted = [self.convert(amount, currency, self.terms.currency, t_ms)
                     for (_, currency), amount in sorted(groups.items())]
        return self.total(exact_part, converted)

    def figures(self) -> dict:
        t = self.now_ms
        positions = sorted(self.positions.values(), key=lambda p: p["ticket"])
        profit = self.open_profit(positions, t)
        margin = self.open_margin(positions, t)
        equity = self.money(self.balance + exact(self.terms.credit) + exact(profit))
        free = self.money(exact(equity) - exact(margin))
        return dict(balance=float(self.balance), credit=self.terms.credit, profit=profit, equity=equity,
                    margin=margin, margin_free=free, margin_level=equity / margin * 100 if margin else 0.0)

    # ---- records -----------------------------------------------------------

    def _ticket(self) -> int:
        self.next_ticket += 1
        return self.next_ticket - 1

    def _deal(self, fields: dict, t_ms: int) -> dict:
        d = dict(ticket=self._ticket(), time=t_ms // 1000, time_msc=t_ms, fee=0.0, external_id="", **fields)
        self.deals.append(d)
        self.balance += exact(d["profit"]) + exact(d["commission"]) + exact(d["swap"])
        return d

    def _trade_deal(self, order, side, entry, position_id, volume, price, t_ms, magic=None, swap=0.0, profit=0.0):
        return self._deal(dict(order=order["ticket"], type=side, entry=entry,
                               magic=order["magic"] if magic is None else magic, position_id=position_id,
                               reason=order["reason"], volume=volume, price=price,
                               commission=self.commission(volume, t_ms), swap=swap, profit=profit,
                               symbol=order["symbol"], comment=order["comment"]), t_ms)

    def _order(self, t_ms: int, **fields) -> dict:
        o = dict(ticket=self._ticket(), time_setup=t_ms // 1000, time_setup_msc=t_ms, time_done=0, time_done_msc=0,
                 time_expiration=0, type_time=GTC, type_filling=0, state=ORDER_PLACED, magic=0, position_id=0,
                 position_by_id=0, reason=REASON_EXPERT, sl=0.0, tp=0.0, price_stoplimit=0.0, comment="",
                 external_id="")
        o.update(fields)
        o.setdefault("volume_current", o["volume_initial"])
        return o

    def _to_history(self, o: dict, state: int, t_ms: int, price_current: float | None = None) -> None:
        o.update(state=state, time_done=t_ms // 1000, time_done_msc=t_ms)
        if state == ORDER_FILLED:
            o["volume_current"] = 0.0
        if price_current is not None:
            o["price_current"] = price_current
        self.history_orders.append(o)

    def _market_order(self, t_ms, symbol, otype, volume, price, magic, comment, position_id=0, sl=0.0, tp=0.0,
                      reason=REASON_EXPERT, filling=0) -> dict:
        """A market order filled at once (it goes straight to history)."""
        o = self._order(t_ms, type=otype, volume_initial=volume, price_open=price, price_current=price,
                        symbol=symbol, magic=magic, comment=comment, position_id=position_id, sl=sl, tp=tp,
                        reason=reason, type_filling=filling)
        self._to_history(o, ORDER_FILLED, t_ms)
        return o

    # ---- fills ---------------------------------------------------------------

    def _open(self, order: dict, ins: Instrument, side: int, volume: float, price: float, t_ms: int) -> dict:
        p = dict(ticket=order["ticket"], time=t_ms // 1000, time_msc=t_ms, time_update=t_ms // 1000,
                 time_update_msc=t_ms, type=side, magic=order["magic"], identifier=order["ticket"],
                 reason=order["reason"], volume=volume, price_open=price, sl=order["sl"], tp=order["tp"], swap=0.0,
                 symbol=ins.name, comment=order["comment"], external_id="")
        self.positions[p["ticket"]] = p
        order["position_id"] = p["ticket"]
        return self._trade_deal(order, side, ENTRY_IN, p["ticket"], volume, price, t_ms)

    def _close(self, p: dict, order: dict, volume: float, price: float, t_ms: int, entry=ENTRY_OUT) -> dict:
        """Closes `volume` of `p` at `price`; the deal carries the closed
        share of the position's swap."""
        ins = self.market.instrument(p["symbol"])
        profit = self.money(self.exact_profit(ins, p["type"], volume, p["price_open"], price, t_ms))
        share = p["swap"] if volume >= p["volume"] - 1e-9 else self.money(
            exact(p["swap"]) * exact(volume) / exact(p["volume"]))
        d = self._trade_deal(order, SELL if p["type"] == BUY else BUY, entry, p["identifier"], volume, price, t_ms,
                             magic=p["magic"], swap=share, profit=profit)
        rest = vol(p["volume"] - volume)
        if rest <= 0:
            del self.positions[p["ticket"]]
        else:
            p.update(volume=rest, swap=self.money(exact(p["swap"]) - exact(share)), time_update=t_ms // 1000,
                     time_update_msc=t_ms)
        return d

    def _fill(self, order: dict, price: float, t_ms: int) -> dict:
        """Executes a filled order (market or triggered pending): opens a
        position on a hedging account; adds to, reduces, closes or reverses
        the symbol's position on a netting one. Returns the deal."""
        ins = self.market.instrument(order["symbol"])
        side = BUY if is_buy(order["type"]) else SELL
        volume = order["volume_initial"]
        order["price_current"] = price
        if self.terms.hedging:
            return self._open(order, ins, side, volume, price, t_ms)
        p = next((q for q in self.positions.values() if q["symbol"] == ins.name), None)
        if p is None:
            return self._open(order, ins, side, volume, price, t_ms)
        order["position_id"] = p["ticket"]
        if p["type"] == side:  # add
            total = vol(p["volume"] + volume)
            weighted = exact(p["price_open"]) * exact(p["volume"]) + exact(price) * exact(volume)
            p["price_open"] = round_half_away(weighted / exact(total), ins.digits)
            p["volume"] = total
            if order["sl"]:
                p["sl"] = order["sl"]
            if order["tp"]:
                p["tp"] = order["tp"]
            p.update(time_update=t_ms // 1000, time_update_msc=t_ms)
            return self._trade_deal(order, side, ENTRY_IN, p["ticket"], volume, price, t_ms)
        if volume <= p["volume"] + 1e-9:  # reduce or close
            return self._close(p, order, volume, price, t_ms)
        # Reverse: profit on the old volume, the rest opens the other way.
        profit = self.money(self.exact_profit(ins, p["type"], p["volume"], p["price_open"], price, t_ms))
        d = self._trade_deal(order, side, ENTRY_INOUT, p["ticket"], volume, price, t_ms, swap=p["swap"], profit=profit)
        p.update(type=side, volume=vol(volume - p["volume"]), price_open=price, sl=order["sl"], tp=order["tp"],
                 swap=0.0, time_update=t_ms // 1000, time_update_msc=t_ms)
        return d

    # ---- the clock -----------------------------------------------------------

    def advance(self, to_ms: int) -> None:
        """Walks the price process from the last walk up to `to_ms`:
        triggers, stops, expirations and rollovers in time order; then
        the stop-out at the new "now"."""
        assert to_ms >= self.now_ms
        self._walk(self.now_ms, to_ms)
        self.now_ms = to_ms
        self.stop_out()

    def _walk(self, from_ms: int, to_ms: int) -> None:
        symbols = sorted({o["symbol"] for o in self.orders.values()}
                         | {p["symbol"] for p in self.positions.values() if p["sl"] or p["tp"]})
        ticks = {s: self.market.ticks(s, from_ms + 1, to_ms) for s in symbols}
        # Ticks at or after (time, symbol, index) are still to be seen: an
        # event's own tick is seen again, not the ticks before it in its
        # millisecond (imported ticks may share one).
        cursor = (from_ms + 1, "", 0)
        while True:
            boundary = self._next_boundary(cursor[0], to_ms)
            event = self._next_tick_event(ticks, cursor, to_ms if boundary is None else boundary - 1)
            if event is not None:
                t, symbol, idx, apply = event
                apply(t, float(ticks[symbol][1][idx]), float(ticks[symbol][2][idx]))
                cursor = (t, symbol, idx)
                continue
            if boundary is None:
                return
            self._boundary(boundary)
            cursor = (boundary, "", 0)

    def _next_boundary(self, from_ms: int, to_ms: int) -> int | None:
        times = [self.next_rollover] + [o["time_expiration"] * 1000 for o in self.orders.values()
                                        if o["time_expiration"]]
        times = [t for t in times if from_ms <= t <= to_ms]
        return min(times) if times else None

    def _boundary(self, t: int) -> None:
        """A rollover, then the expirations, before the ticks of that instant."""
        if self.next_rollover == t:
            self._rollover(t)
            self.next_rollover += DAY_MS
        for o in sorted(self.orders.values(), key=lambda o: o["ticket"]):
            if o["time_expiration"] and o["time_expiration"] * 1000 <= t:
                del self.orders[o["ticket"]]
                self._to_history(o, ORDER_EXPIRED, t)

    def _rollover(self, t: int) -> None:
        for p in sorted(self.positions.values(), key=lambda p: p["ticket"]):
            ins = self.market.instrument(p["symbol"])
            factor = night_factor(t, ins)
            if factor == 0 or p["time_msc"] >= t or ins.swap_mode == SWAP_DISABLED:
                continue
            points = ins.swap_long if p["type"] == BUY else ins.swap_short
            amount = exact(points) * exact(ins.point) * exact(ins.contract) * exact(p["volume"]) * factor
            charge = self.money(self.convert(amount, ins.profit, self.terms.currency, t))
            p["swap"] = self.money(exact(p["swap"]) + exact(charge))

    def _next_tick_event(self, ticks, cursor, last_ms):
        """The earliest (time, symbol, index, action) among the orders that
        trigger and the stops that fire at ticks from `cursor` up to
        `last_ms`: pending orders before positions, each in ticket order."""
        best = None
        for rank, items in ((0, self.orders.values()), (1, self.positions.values())):
            for item in items:
                arrays = ticks.get(item["symbol"])
                if arrays is None:
                    continue
                times, bids, asks = arrays
                if item["symbol"] == cursor[1]:
                    start = cursor[2]
                else:
                    start = np.searchsorted(times, cursor[0], "right" if item["symbol"] < cursor[1] else "left")
                end = np.searchsorted(times, last_ms, "right")
                if start >= end:
                    continue
                found = self._first_trigger(rank, item, bids[start:end], asks[start:end])
                if found is None:
                    continue
                idx = start + found[0]
                key = (int(times[idx]), item["symbol"], rank, item["ticket"])
                if best is None or key < best[0]:
                    best = (key, idx, found[1])
        if best is None:
            return None
        (t, symbol, _, _), idx, action = best
        return t, symbol, idx, action

    def _first_trigger(self, rank: int, item: dict, bids, asks):
        """(offset of the first tick that triggers `item`, its action)."""
        if rank == 0:
            o, price = item, item["price_open"]
            cond = {BUY_LIMIT: asks <= price, SELL_LIMIT: bids >= price, BUY_STOP: asks >= price,
                    SELL_STOP: bids <= price, BUY_STOP_LIMIT: asks >= price, SELL_STOP_LIMIT: bids <= price}[o["type"]]
            hit = np.flatnonzero(cond)
            if not hit.size:
                return None
            return int(hit[0]), lambda t, bid, ask: self._trigger(o, t, bid, ask)
        # A buy closes at the bid, a sell at the ask; prices are negated for
        # a sell (exactly) so that both compare as a buy: SL at or below, TP at or above.
        p, sign = item, 1 if item["type"] == BUY else -1
        watch = sign * (bids if sign == 1 else asks)
        sl_hit = (watch <= sign * p["sl"]) & bool(p["sl"])
        tp_hit = (watch >= sign * p["tp"]) & bool(p["tp"])
        hit = np.flatnonzero(sl_hit | tp_hit)
        if not hit.size:
            return None
        k = int(hit[0])
        reason = REASON_SL if sl_hit[k] else REASON_TP
        return k, lambda t, bid, ask: self._stop(p, reason, t, bid, ask)

    def _trigger(self, o: dict, t: int, bid: float, ask: float) -> None:
        del self.orders[o["ticket"]]
        if o["type"] in (BUY_STOP_LIMIT, SELL_STOP_LIMIT):
            kept = ("volume_initial sl tp symbol magic comment type_time time_expiration "
                    "type_filling reason price_current").split()
            limit = self._order(t, type=BUY_LIMIT if o["type"] == BUY_STOP_LIMIT else SELL_LIMIT,
                                price_open=o["price_stoplimit"], **{k: o[k] for k in kept})
            self._to_history(o, ORDER_FILLED, t, price_current=ask if is_buy(o["type"]) else bid)
            self.orders[limit["ticket"]] = limit
            return
        price = ask if is_buy(o["type"]) else bid
        self._to_history(o, ORDER_FILLED, t, price_current=price)
        self._fill(o, price, t)

    def _stop(self, p: dict, reason: int, t: int, bid: float, ask: float) -> None:
        price = bid if p["type"] == BUY else ask
        comment = "[sl]" if reason == REASON_SL else "[tp]"
        order = self._market_order(t, p["symbol"], SELL if p["type"] == BUY else BUY, p["volume"], price,
                                   p["magic"], comment, position_id=p["identifier"], reason=reason)
        self._close(p, order, p["volume"], price, t)

    def stop_out(self) -> None:
        """While margin > 0 and the margin level < 50 %, closes the position
        with the lowest floating profit (ties: the lowest ticket)."""
        t = self.now_ms
        while True:
            f = self.figures()
            if not (f["margin"] > 0 and f["margin_level"] < STOP_OUT_LEVEL):
                return
            p = min(self.positions.values(), key=lambda p: (self.money(self.float_profit(p, t)), p["ticket"]))
            price = self.close_price(p, t)
            order = self._market_order(t, p["symbol"], SELL if p["type"] == BUY else BUY, p["volume"], price,
                                       p["magic"], "[so]", position_id=p["identifier"], reason=REASON_SO)
            self._close(p, order, p["volume"], price, t)

    # ---- what the Terminal reports -------------------------------------------

    def snapshot(self) -> dict:
        """Every record and figure, as the Terminal reports them now."""
        self.stop_out()
        t = self.now_ms
        positions = []
        for p in sorted(self.positions.values(), key=lambda p: p["ticket"]):
            price = self.close_price(p, t)
            positions.append(dict(p, price_current=price, profit=self.money(self.float_profit(p, t))))
        # An order's current price is the one it would fill at: the ask for a buy.
        orders = [dict(o, price_current=self._bid_ask(o["symbol"], t)[is_buy(o["type"])])
                  for o in sorted(self.orders.values(), key=lambda o: o["ticket"])]
        return dict(positions=positions, orders=orders, history_orders=list(self.history_orders),
                    deals=list(self.deals), account=self.figures())
