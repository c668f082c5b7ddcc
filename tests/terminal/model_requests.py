"""The request rules of the trading model: order_send and order_check, each
action's checks in the order the Terminal makes them, and what it does."""

from __future__ import annotations

import copy
import math

from model_terms import (
    BUY, BUY_LIMIT, BUY_STOP, BUY_STOP_LIMIT, CLOSE_BY, DAY, DAY_MS, DEAL, ENTRY_OUT_BY, GTC, MODIFY,
    ORDER_CANCELED, ORDER_CLOSE_BY, ORDER_FILLED, PENDING, REMOVE, RETCODES, Refused, SELL, SELL_LIMIT, SELL_STOP,
    SELL_STOP_LIMIT, SLTP, SPECIFIED, SPECIFIED_DAY, Spec, is_buy, on_grid, wire_text,
)


class Requests:
    """order_send and order_check of an Account (model.py), which holds the
    state, the money rules and the fills these use."""


    def send(self, req: dict) -> dict:
        """order_send: the result record's predictable fields."""
        self.stop_out()
        try:
            return self._execute(req)
        except Refused as r:
            code, text = RETCODES[r.name]
            return dict(retcode=code, deal=0, order=0, comment=text)

    def check(self, req: dict) -> dict:
        """order_check: the send's retcode (DONE for anything that would
        pass) and the figures the account would have after it."""
        self.stop_out()
        trial = self._trial()
        try:
            trial._execute(req)
        except Refused as r:
            trial, (code, text) = self, RETCODES[r.name]
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
        trial.events = []
        return trial

    def _execute(self, req: dict) -> dict:
        action = req.get("action", 0)
        handler = {DEAL: self._req_deal, PENDING: self._req_pending, SLTP: self._req_sltp,
                   MODIFY: self._req_modify, REMOVE: self._req_remove, CLOSE_BY: self._req_close_by}.get(action)
        if handler is None:
            raise Refused("INVALID")
        return handler(req)

    def _symbol(self, req: dict) -> Spec:
        name, junk = wire_text(req.get("symbol", ""))
        spec = self.market.spec(name) if name and not junk else None
        if spec is None:
            raise Refused("INVALID")
        return spec

    def _check_comment(self, req: dict) -> str:
        text, junk = wire_text(req.get("comment", ""))
        if junk:
            raise Refused("INVALID")
        return text

    @staticmethod
    def _check_volume(spec: Spec, volume: float) -> None:
        if not (math.isfinite(volume) and spec.volume_min - 1e-9 <= volume <= spec.volume_max + 1e-9
                and on_grid(volume, spec.volume_step)):
            raise Refused("INVALID_VOLUME")

    def _reachable(self, spec: Spec, x: float) -> bool:
        """On the tick grid, at least one tick, at most 1000 × the ask."""
        return (math.isfinite(x) and x >= spec.tick and x <= 1000 * self._bid_ask(spec.name, self.now_ms)[1]
                and on_grid(x, spec.tick))

    def _check_stops(self, spec: Spec, side: int, ref: float, sl: float, tp: float) -> None:
        """SL and TP of a position (or order) of `side`, measured from `ref`
        (the bid for a buy, the ask for a sell, or an order's entry price)."""
        gap = spec.stops_level * spec.point
        for x in (sl, tp):
            if x != 0 and not self._reachable(spec, x):
                raise Refused("INVALID_STOPS")
        below_ok = lambda x: x == 0 or x <= ref - gap + 1e-9 * spec.point  # noqa: E731
        above_ok = lambda x: x == 0 or x >= ref + gap - 1e-9 * spec.point  # noqa: E731
        if side == BUY and not (below_ok(sl) and above_ok(tp)):
            raise Refused("INVALID_STOPS")
        if side == SELL and not (above_ok(sl) and below_ok(tp)):
            raise Refused("INVALID_STOPS")

    def _check_open(self, spec: Spec) -> None:
        if not spec.is_open(self.now_ms):
            raise Refused("MARKET_CLOSED")

    def _req_deal(self, req: dict) -> dict:
        ticket = req.get("position", 0)
        p = None
        if ticket:
            p = self.positions.get(ticket)
            if p is None:
                raise Refused("POSITION_CLOSED")
            spec = self.market.spec(p["symbol"])
        else:
            spec = self._symbol(req)
        otype = req.get("type", 0)
        if otype not in (BUY, SELL):
            raise Refused("INVALID")
        comment = self._check_comment(req)
        volume = req.get("volume", 0.0)
        self._check_volume(spec, volume)
        if req.get("type_filling", 0) not in (0, 1, 2):
            raise Refused("INVALID_FILL")
        self._check_open(spec)
        bid, ask = self._bid_ask(spec.name, self.now_ms)
        price = ask if otype == BUY else bid
        wanted = req.get("price", 0.0)
        if wanted and not abs(wanted - price) <= req.get("deviation", 0) * spec.point + 1e-9 * spec.point:
            raise Refused("PRICE_CHANGED")
        if p is not None:
            if otype == p["type"]:
                raise Refused("INVALID")
            if volume > p["volume"] + 1e-9:
                raise Refused("INVALID_CLOSE_VOLUME")
        sl, tp = req.get("sl", 0.0), req.get("tp", 0.0)
        self._check_stops(spec, otype, bid if otype == BUY else ask, sl, tp)
        args = (spec, otype, volume, price, req.get("magic", 0), comment, ticket, sl, tp, req.get("type_filling", 0))
        if p is None:
            # NO_MONEY: the deal adds margin and leaves free margin below 0.
            before = self.figures()["margin"]
            trial = self._trial()
            trial._deal_now(*args)
            after = trial.figures()
            if after["margin"] > before and after["margin_free"] < 0:
                raise Refused("NO_MONEY")
        order, deal = self._deal_now(*args)
        return dict(retcode=1, deal=deal["ticket"], order=order["ticket"], volume=volume, price=price, bid=bid,
                    ask=ask, comment=RETCODES["DONE"][1])

    def _deal_now(self, spec, otype, volume, price, magic, comment, ticket, sl, tp, filling):
        t = self.now_ms
        order = self._market_order(t, spec.name, otype, volume, price, magic, comment, position_id=ticket, sl=sl,
                                   tp=tp, filling=filling)
        if ticket:
            deal = self._close(self.positions[ticket], order, volume, price, t)
            self.events.append("close_request")
        else:
            deal = self._fill(order, price, t)
            self.events.append(f"deal_entry_{deal['entry']}")
        return order, deal

    def _expiration(self, req: dict) -> tuple[int, int]:
        """(type_time, time_expiration in seconds) of a pending request."""
        kind = req.get("type_time", GTC)
        exp = req.get("expiration", 0)
        now_s = self.now_ms / 1000
        if kind == GTC:
            return kind, 0
        if kind == DAY:
            return kind, (self.now_ms // DAY_MS + 1) * 86400
        if kind == SPECIFIED:
            if not exp > now_s:
                raise Refused("INVALID_EXPIRATION")
            return kind, exp
        if kind == SPECIFIED_DAY:
            end = (exp // 86400 + 1) * 86400
            if not end > now_s:
                raise Refused("INVALID_EXPIRATION")
            return kind, end
        raise Refused("INVALID_EXPIRATION")

    def _check_entry(self, spec: Spec, otype: int, price: float, stoplimit: float) -> float:
        """A pending order's prices against the market; returns the entry
        price its stops are measured from."""
        bid, ask = self._bid_ask(spec.name, self.now_ms)
        gap = spec.stops_level * spec.point
        eps = 1e-9 * spec.point
        if not self._reachable(spec, price):
            raise Refused("INVALID_PRICE")
        ok = {BUY_LIMIT: price <= ask - gap + eps, SELL_LIMIT: price >= bid + gap - eps,
              BUY_STOP: price >= ask + gap - eps, SELL_STOP: price <= bid - gap + eps,
              BUY_STOP_LIMIT: price >= ask + gap - eps, SELL_STOP_LIMIT: price <= bid - gap + eps}[otype]
        if not ok:
            raise Refused("INVALID_PRICE")
        if otype in (BUY_STOP_LIMIT, SELL_STOP_LIMIT):
            if not self._reachable(spec, stoplimit):
                raise Refused("INVALID_PRICE")
            if (otype == BUY_STOP_LIMIT and stoplimit > price + eps) or (
                    otype == SELL_STOP_LIMIT and stoplimit < price - eps):
                raise Refused("INVALID_PRICE")
            return stoplimit
        return price

    def _req_pending(self, req: dict) -> dict:
        spec = self._symbol(req)
        otype = req.get("type", 0)
        if otype not in (BUY_LIMIT, SELL_LIMIT, BUY_STOP, SELL_STOP, BUY_STOP_LIMIT, SELL_STOP_LIMIT):
            raise Refused("INVALID")
        comment = self._check_comment(req)
        volume = req.get("volume", 0.0)
        self._check_volume(spec, volume)
        if req.get("type_filling", 0) not in (0, 1, 2, 3):
            raise Refused("INVALID_FILL")
        type_time, expiration = self._expiration(req)
        self._check_open(spec)
        price = req.get("price", 0.0)
        stoplimit = req.get("stoplimit", 0.0) if otype in (BUY_STOP_LIMIT, SELL_STOP_LIMIT) else 0.0
        entry = self._check_entry(spec, otype, price, stoplimit)
        sl, tp = req.get("sl", 0.0), req.get("tp", 0.0)
        self._check_stops(spec, BUY if is_buy(otype) else SELL, entry, sl, tp)
        if len(self.orders) >= self.terms.limit_orders:
            raise Refused("LIMIT_ORDERS")
        bid, ask = self._bid_ask(spec.name, self.now_ms)
        o = self._order(self.now_ms, type=otype, volume_initial=volume, price_open=price, price_stoplimit=stoplimit,
                        price_current=ask if is_buy(otype) else bid,
                        sl=sl, tp=tp, symbol=spec.name, magic=req.get("magic", 0), comment=comment,
                        type_time=type_time, time_expiration=expiration, type_filling=req.get("type_filling", 0))
        self.orders[o["ticket"]] = o
        self.events.append(f"placed_{otype}")
        return dict(retcode=2, deal=0, order=o["ticket"], volume=volume, price=price, bid=bid, ask=ask,
                    comment=RETCODES["PLACED"][1])

    def _req_sltp(self, req: dict) -> dict:
        p = self.positions.get(req.get("position", 0))
        if p is None:
            raise Refused("POSITION_CLOSED")
        spec = self.market.spec(p["symbol"])
        self._check_open(spec)
        bid, ask = self._bid_ask(spec.name, self.now_ms)
        sl, tp = req.get("sl", 0.0), req.get("tp", 0.0)
        if (sl, tp) == (p["sl"], p["tp"]):  # nothing to check either
            raise Refused("NO_CHANGES")
        self._check_stops(spec, p["type"], bid if p["type"] == BUY else ask, sl, tp)
        p.update(sl=sl, tp=tp, time_update=self.now_ms // 1000, time_update_msc=self.now_ms)
        self.events.append("sltp")
        return dict(retcode=1, deal=0, order=0, volume=0.0, price=0.0, bid=bid, ask=ask,
                    comment=RETCODES["DONE"][1])

    def _req_modify(self, req: dict) -> dict:
        o = self.orders.get(req.get("order", 0))
        if o is None:
            raise Refused("INVALID_ORDER")
        spec = self.market.spec(o["symbol"])
        type_time, expiration = self._expiration(req)
        self._check_open(spec)
        price = req.get("price", 0.0)
        stoplimit = req.get("stoplimit", 0.0) if o["type"] in (BUY_STOP_LIMIT, SELL_STOP_LIMIT) else 0.0
        sl, tp = req.get("sl", 0.0), req.get("tp", 0.0)
        new = dict(price_open=price, price_stoplimit=stoplimit, sl=sl, tp=tp, type_time=type_time,
                   time_expiration=expiration)
        if all(o[k] == v for k, v in new.items()):  # nothing to check either
            raise Refused("NO_CHANGES")
        entry = self._check_entry(spec, o["type"], price, stoplimit)
        self._check_stops(spec, BUY if is_buy(o["type"]) else SELL, entry, sl, tp)
        o.update(new)
        bid, ask = self._bid_ask(spec.name, self.now_ms)
        self.events.append("modify")
        return dict(retcode=1, deal=0, order=o["ticket"], volume=o["volume_current"], price=price, bid=bid, ask=ask,
                    comment=RETCODES["DONE"][1])

    def _req_remove(self, req: dict) -> dict:
        o = self.orders.get(req.get("order", 0))
        if o is None:
            raise Refused("INVALID_ORDER")
        spec = self.market.spec(o["symbol"])
        del self.orders[o["ticket"]]
        self._to_history(o, ORDER_CANCELED, self.now_ms)
        bid, ask = self._bid_ask(spec.name, self.now_ms)
        self.events.append("remove")
        return dict(retcode=1, deal=0, order=o["ticket"], volume=0.0, price=0.0, bid=bid, ask=ask,
                    comment=RETCODES["DONE"][1])

    def _req_close_by(self, req: dict) -> dict:
        if not self.terms.hedging:
            raise Refused("HEDGE_PROHIBITED")
        p = self.positions.get(req.get("position", 0))
        q = self.positions.get(req.get("position_by", 0))
        if p is None or q is None:
            raise Refused("POSITION_CLOSED")
        if p is q or p["symbol"] != q["symbol"] or p["type"] == q["type"]:
            raise Refused("INVALID")
        spec = self.market.spec(p["symbol"])
        self._check_open(spec)
        volume = min(p["volume"], q["volume"])
        t = self.now_ms
        price = q["price_open"]
        order = self._order(t, type=ORDER_CLOSE_BY, volume_initial=volume, price_open=price, price_current=price,
                            symbol=spec.name, magic=p["magic"], position_id=p["ticket"], position_by_id=q["ticket"])
        self._to_history(order, ORDER_FILLED, t)
        first = self._close(p, order, volume, price, t, entry=ENTRY_OUT_BY, profit_price=price)
        self._close(q, order, volume, q["price_open"], t, entry=ENTRY_OUT_BY, profit_price=q["price_open"])
        bid, ask = self._bid_ask(spec.name, t)
        self.events.append("close_by")
        return dict(retcode=1, deal=first["ticket"], order=order["ticket"], volume=volume, price=price, bid=bid,
                    ask=ask, comment=RETCODES["DONE"][1])
