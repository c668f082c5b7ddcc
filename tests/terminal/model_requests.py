"""The request rules of the trading model: order_send and order_check, each
action's checks in the order the Terminal makes them (the first rule
broken names the refusal), and what an accepted request does."""

from __future__ import annotations

import copy
import math

from model_terms import (
    BUY, BUY_LIMIT, BUY_STOP, BUY_STOP_LIMIT, CLOSE_BY, DAY, DAY_MS, DEAL, ENTRY_OUT_BY, GTC, MODIFY,
    ORDER_CANCELED, ORDER_CLOSE_BY, ORDER_FILLED, PENDING, REMOVE, RETCODES, Refused, SELL, SELL_LIMIT, SELL_STOP,
    SELL_STOP_LIMIT, SLTP, SPECIFIED, SPECIFIED_DAY, Instrument, is_buy, on_grid, vol, wire_text,
)

RETURN, BOC = 2, 3
YEAR_2100_S = 4102444800
STOP_LIMITS = (BUY_STOP_LIMIT, SELL_STOP_LIMIT)


def reply(name: str, bid: float, ask: float, deal=0, order=0, volume=0.0, price=0.0) -> dict:
    """A send result; a refusal carries no deal, order, volume or price."""
    code, text = RETCODES[name]
    return dict(retcode=code, deal=deal, order=order, volume=volume, price=price, bid=bid, ask=ask, comment=text)


class Requests:
    """order_send and order_check of an Account (model.py), which holds the
    state, the money rules and the fills these use."""

    def send(self, req: dict) -> dict:
        """order_send's result: what was done, or the refusal (with the
        quote of the request's symbol once the checks got as far as it)."""
        self.stop_out()
        self._concerns = None
        try:
            result = self._execute(req)
        except Refused as r:
            bid, ask = self._bid_ask(self._concerns, self.now_ms) if self._concerns else (0.0, 0.0)
            result = reply(r.args[0], bid, ask)
        return dict(result, retcode_external=0)

    def check(self, req: dict) -> dict:
        """order_check: the send's retcode (DONE for anything that would
        pass) and the figures the account would have after it."""
        self.stop_out()
        trial = self._trial()
        try:
            trial._execute(req)
        except Refused as r:
            trial, (code, text) = self, RETCODES[r.args[0]]
        else:
            code, text = RETCODES["DONE"]
        figures = trial.figures()
        del figures["credit"]
        return dict(retcode=code, comment=text, **figures)

    def _trial(self):
        """A copy to try a request on: records are copied, the market shared."""
        trial = copy.copy(self)
        trial.positions = copy.deepcopy(self.positions)
        trial.orders = copy.deepcopy(self.orders)
        trial.history_orders = list(self.history_orders)
        trial.deals = list(self.deals)
        return trial

    def _execute(self, req: dict) -> dict:
        # A name field with units after its end held text the Terminal would lose.
        if wire_text(req.get("symbol", ""))[1] or wire_text(req.get("comment", ""))[1]:
            raise Refused("INVALID")
        handler = {DEAL: self._req_deal, PENDING: self._req_pending, SLTP: self._req_sltp,
                   MODIFY: self._req_modify, REMOVE: self._req_remove,
                   CLOSE_BY: self._req_close_by}.get(req.get("action", 0))
        if handler is None:
            raise Refused("INVALID")
        return handler(req)

    # ---- shared rules ------------------------------------------------------------

    def _market_of(self, name: str) -> Instrument:
        """The symbol's market: a catalogue name, open now."""
        ins = self.market.instrument(name) if name else None
        if ins is None:
            raise Refused("INVALID")
        self._concerns = ins.name
        if not ins.is_open(self.now_ms):
            raise Refused("MARKET_CLOSED")
        return ins

    @staticmethod
    def _volume(ins: Instrument, volume: float) -> float:
        """The volume as a whole number of steps."""
        steps = volume / ins.volume_step if math.isfinite(volume) else math.nan
        if not (volume > 0 and ins.volume_min - 1e-9 <= volume <= ins.volume_max + 1e-9
                and abs(steps - round(steps)) <= 1e-6):
            raise Refused("INVALID_VOLUME")
        return vol(round(steps) * ins.volume_step)

    def _on_grid(self, ins: Instrument, x: float) -> bool:
        """A whole number (at least one) of ticks, at most 1000 × the ask."""
        return (math.isfinite(x) and x >= ins.tick and x <= 1000 * self._bid_ask(ins.name, self.now_ms)[1]
                and on_grid(x, ins.tick))

    def _stops_on_grid(self, ins: Instrument, sl: float, tp: float) -> None:
        if any(x != 0 and not self._on_grid(ins, x) for x in (sl, tp)):
            raise Refused("INVALID_STOPS")

    @staticmethod
    def _stops_level(ins: Instrument, side: int, ref: float, sl: float, tp: float) -> None:
        """SL and TP of `side` at least the stops level from `ref` (the bid
        for a buy, the ask for a sell, or an order's entry price)."""
        gap = ins.stops_level * ins.point
        eps = 1e-9 * ins.point
        below = lambda x: x == 0 or x <= ref - gap + eps  # noqa: E731
        above = lambda x: x == 0 or x >= ref + gap - eps  # noqa: E731
        if not ((below(sl) and above(tp)) if side == BUY else (above(sl) and below(tp))):
            raise Refused("INVALID_STOPS")

    def _placement(self, ins: Instrument, otype: int, price: float, stoplimit: float) -> None:
        """Limits beyond, stops before the market by the stops level; a
        stop-limit's limit not beyond its stop."""
        bid, ask = self._bid_ask(ins.name, self.now_ms)
        gap = ins.stops_level * ins.point
        eps = 1e-9 * ins.point
        ok = {BUY_LIMIT: price <= ask - gap + eps, SELL_LIMIT: price >= bid + gap - eps,
              BUY_STOP: price >= ask + gap - eps, SELL_STOP: price <= bid - gap + eps,
              BUY_STOP_LIMIT: price >= ask + gap - eps and stoplimit <= price + eps,
              SELL_STOP_LIMIT: price <= bid - gap + eps and stoplimit >= price - eps}[otype]
        if not ok:
            raise Refused("INVALID_PRICE")

    def _prices_on_grid(self, ins: Instrument, otype: int, price: float, stoplimit: float) -> None:
        if not self._on_grid(ins, price) or (otype in STOP_LIMITS and not self._on_grid(ins, stoplimit)):
            raise Refused("INVALID_PRICE")

    def _expiration(self, req: dict) -> tuple[int, int]:
        """(type_time, time_expiration in seconds) of a pending request."""
        kind = req.get("type_time", GTC)
        exp = req.get("expiration", 0)
        if kind == GTC:
            return kind, 0
        if kind == DAY:
            return kind, (self.now_ms // DAY_MS + 1) * 86400
        if kind == SPECIFIED and self.now_ms // 1000 < exp < YEAR_2100_S:
            return kind, exp
        if kind == SPECIFIED_DAY and 0 <= exp < YEAR_2100_S:
            end = (exp // 86400 + 1) * 86400
            if end * 1000 > self.now_ms:
                return kind, end
        raise Refused("INVALID_EXPIRATION")

    # ---- the actions -----------------------------------------------------------------

    def _req_deal(self, req: dict) -> dict:
        ticket = req.get("position", 0)
        name = wire_text(req.get("symbol", ""))[0]
        p = None
        if ticket:
            p = self.positions.get(ticket)
            if p is None:
                raise Refused("POSITION_CLOSED")
            if name and name != p["symbol"]:
                raise Refused("INVALID")
            name = p["symbol"]
        ins = self._market_of(name)
        otype = req.get("type", 0)
        if otype not in (BUY, SELL):
            raise Refused("INVALID")
        if req.get("type_filling", 0) > RETURN:
            raise Refused("INVALID_FILL")
        volume = self._volume(ins, req.get("volume", 0.0))
        bid, ask = self._bid_ask(ins.name, self.now_ms)
        price = ask if otype == BUY else bid
        wanted = req.get("price", 0.0)
        if wanted != 0:
            if not (math.isfinite(wanted) and wanted > 0):
                raise Refused("INVALID_PRICE")
            if abs(wanted - price) / ins.point > req.get("deviation", 0) + 1e-9:
                raise Refused("PRICE_CHANGED")
        sl, tp = req.get("sl", 0.0), req.get("tp", 0.0)
        self._stops_on_grid(ins, sl, tp)
        if p is not None:
            if otype == p["type"]:
                raise Refused("INVALID")
            if volume > p["volume"] + 1e-9:
                raise Refused("INVALID_CLOSE_VOLUME")
        else:
            self._stops_level(ins, otype, bid if otype == BUY else ask, sl, tp)
        args = (ins, otype, volume, price, req.get("magic", 0), wire_text(req.get("comment", ""))[0], ticket, sl,
                tp, req.get("type_filling", 0))
        if p is None:
            # NO_MONEY: the deal adds margin and leaves free margin below 0.
            before = self.figures()["margin"]
            trial = self._trial()
            trial._deal_now(*args)
            after = trial.figures()
            if after["margin"] > before and after["margin_free"] < 0:
                raise Refused("NO_MONEY")
        order, deal = self._deal_now(*args)
        return reply("DONE", bid, ask, deal["ticket"], order["ticket"], volume, price)

    def _deal_now(self, ins, otype, volume, price, magic, comment, ticket, sl, tp, filling):
        t = self.now_ms
        order = self._market_order(t, ins.name, otype, volume, price, magic, comment, position_id=ticket, sl=sl,
                                   tp=tp, filling=filling)
        if ticket:
            deal = self._close(self.positions[ticket], order, volume, price, t)
        else:
            deal = self._fill(order, price, t)
        return order, deal

    def _req_pending(self, req: dict) -> dict:
        ins = self._market_of(wire_text(req.get("symbol", ""))[0])
        otype = req.get("type", 0)
        if otype not in (BUY_LIMIT, SELL_LIMIT, BUY_STOP, SELL_STOP, BUY_STOP_LIMIT, SELL_STOP_LIMIT):
            raise Refused("INVALID")
        if req.get("type_filling", 0) > BOC:
            raise Refused("INVALID_FILL")
        volume = self._volume(ins, req.get("volume", 0.0))
        price = req.get("price", 0.0)
        stoplimit = req.get("stoplimit", 0.0) if otype in STOP_LIMITS else 0.0
        self._prices_on_grid(ins, otype, price, stoplimit)
        self._placement(ins, otype, price, stoplimit)
        sl, tp = req.get("sl", 0.0), req.get("tp", 0.0)
        self._stops_on_grid(ins, sl, tp)
        self._stops_level(ins, BUY if is_buy(otype) else SELL, stoplimit or price, sl, tp)
        type_time, expiration = self._expiration(req)
        if len(self.orders) >= self.terms.limit_orders:
            raise Refused("LIMIT_ORDERS")
        bid, ask = self._bid_ask(ins.name, self.now_ms)
        o = self._order(self.now_ms, type=otype, volume_initial=volume, price_open=price, price_stoplimit=stoplimit,
                        price_current=ask if is_buy(otype) else bid, sl=sl, tp=tp, symbol=ins.name,
                        magic=req.get("magic", 0), comment=wire_text(req.get("comment", ""))[0],
                        type_time=type_time, time_expiration=expiration, type_filling=req.get("type_filling", 0))
        self.orders[o["ticket"]] = o
        return reply("PLACED", bid, ask, 0, o["ticket"], volume, price)

    def _req_sltp(self, req: dict) -> dict:
        p = self.positions.get(req.get("position", 0))
        if p is None:
            raise Refused("POSITION_CLOSED")
        ins = self._market_of(p["symbol"])
        sl, tp = req.get("sl", 0.0), req.get("tp", 0.0)
        self._stops_on_grid(ins, sl, tp)
        if (sl, tp) == (p["sl"], p["tp"]):
            raise Refused("NO_CHANGES")
        bid, ask = self._bid_ask(ins.name, self.now_ms)
        self._stops_level(ins, p["type"], bid if p["type"] == BUY else ask, sl, tp)
        p.update(sl=sl, tp=tp, time_update=self.now_ms // 1000, time_update_msc=self.now_ms)
        return reply("DONE", bid, ask)

    def _req_modify(self, req: dict) -> dict:
        o = self.orders.get(req.get("order", 0))
        if o is None:
            raise Refused("INVALID_ORDER")
        ins = self._market_of(o["symbol"])
        type_time, expiration = self._expiration(req)
        price = req.get("price", 0.0)
        stoplimit = req.get("stoplimit", 0.0) if o["type"] in STOP_LIMITS else 0.0
        self._prices_on_grid(ins, o["type"], price, stoplimit)
        sl, tp = req.get("sl", 0.0), req.get("tp", 0.0)
        self._stops_on_grid(ins, sl, tp)
        new = dict(price_open=price, price_stoplimit=stoplimit, sl=sl, tp=tp, type_time=type_time,
                   time_expiration=expiration)
        if all(o[k] == v for k, v in new.items()):
            raise Refused("NO_CHANGES")
        self._placement(ins, o["type"], price, stoplimit)
        self._stops_level(ins, BUY if is_buy(o["type"]) else SELL, stoplimit or price, sl, tp)
        o.update(new)
        bid, ask = self._bid_ask(ins.name, self.now_ms)
        return reply("DONE", bid, ask, 0, o["ticket"], o["volume_current"], price)

    def _req_remove(self, req: dict) -> dict:
        o = self.orders.get(req.get("order", 0))
        if o is None:
            raise Refused("INVALID_ORDER")
        self._concerns = o["symbol"]
        del self.orders[o["ticket"]]
        self._to_history(o, ORDER_CANCELED, self.now_ms)
        bid, ask = self._bid_ask(o["symbol"], self.now_ms)
        return reply("DONE", bid, ask, 0, o["ticket"])

    def _req_close_by(self, req: dict) -> dict:
        if not self.terms.hedging:
            raise Refused("HEDGE_PROHIBITED")
        p = self.positions.get(req.get("position", 0))
        q = self.positions.get(req.get("position_by", 0))
        if p is None or q is None:
            raise Refused("POSITION_CLOSED")
        if p is q or p["symbol"] != q["symbol"] or p["type"] == q["type"]:
            raise Refused("INVALID")
        ins = self._market_of(p["symbol"])
        volume = min(p["volume"], q["volume"])
        t = self.now_ms
        price = q["price_open"]
        order = self._order(t, type=ORDER_CLOSE_BY, volume_initial=volume, price_open=price, price_current=price,
                            symbol=ins.name, magic=p["magic"], position_id=p["ticket"], position_by_id=q["ticket"])
        self._to_history(order, ORDER_FILLED, t)
        # The position leg closes at position_by's price with the pair's
        # whole result; position_by closes at its own price, for nothing.
        first = self._close(p, order, volume, price, t, entry=ENTRY_OUT_BY)
        self._close(q, order, volume, q["price_open"], t, entry=ENTRY_OUT_BY)
        bid, ask = self._bid_ask(ins.name, t)
        return reply("DONE", bid, ask, first["ticket"], order["ticket"], volume, price)
