"""Seeded streams of trade requests and clock moves for the model test.

A stream looks at the model's account (its positions, orders and the
current quotes) to build requests that are mostly valid and sometimes
wrong in exactly one way, so each refusal names one rule. Clock moves mix
seconds and minutes (orders and stops trigger inside them) with hours and
days (expirations, rollovers, weekends, stop-outs)."""

from __future__ import annotations

import random

import model_terms as m
from model import Account

WEEK_MS = 7 * m.DAY_MS
# 2024-01-08 (a Monday) .. 2024-11-25: the span streams start in.
FIRST_START_MS = 1704672000000
START_WEEKS = 46


def start_ms(rng: random.Random) -> int:
    """A weekday between 06:00 and 20:00, at an odd millisecond."""
    day = FIRST_START_MS + rng.randrange(START_WEEKS) * WEEK_MS + rng.randrange(5) * m.DAY_MS
    return day + rng.randrange(6 * 3600_000, 20 * 3600_000)


class Stream:
    """Steps of one seed: ("send", request, with_check) or ("advance", to_ms)."""

    def __init__(self, seed: int, account: Account, symbols: list[str], small: bool):
        self.rng = random.Random(seed)
        self.account = account
        self.symbols = symbols
        self.small = small  # size volumes against the free margin
        self.label = ""  # what the latest request is meant to try

    # ---- helpers ---------------------------------------------------------------

    def instrument(self, name: str) -> m.Instrument:
        return self.account.market.instrument(name)

    def quote(self, name: str) -> tuple[float, float]:
        return self.account._bid_ask(name, self.account.now_ms)

    def price(self, ins: m.Instrument, x: float) -> float:
        """x snapped to the symbol's tick grid, as a written price."""
        return round(round(x / ins.tick) * ins.tick, ins.digits)

    def gap(self, ins: m.Instrument, factor: float) -> float:
        return max(ins.tick, self.price(ins, ins.stops_level * ins.point * factor))

    def open_symbol(self) -> str:
        names = [s for s in self.symbols if self.instrument(s).is_open(self.account.now_ms)]
        return self.rng.choice(names or self.symbols)

    def volume(self, ins: m.Instrument, side: int) -> float:
        rng = self.rng
        if self.small:
            # A share of the free margin (of a small account even when it
            # has grown), up to a little more than all of it: NO_MONEY.
            bid, ask = self.quote(ins.name)
            per_lot = self.account.exact_margin(ins, 1.0, ask if side == m.BUY else bid, self.account.now_ms)
            free = min(self.account.figures()["margin_free"], 2 * self.account.terms.balance)
            share = rng.uniform(0.9, 1.2) if rng.random() < 0.2 else rng.uniform(0.15, 0.6)
            lots = max(0.0, free) * share / per_lot
            steps = max(1, int(lots / ins.volume_step))
        else:
            steps = rng.choice([1, 1, 2, 3, 5, 10, 20, 30])
        return round(min(ins.volume_max, max(ins.volume_min, steps * ins.volume_step)), 8)

    def stops(self, ins: m.Instrument, side: int, ref: float) -> tuple[float, float]:
        """Valid SL/TP (each present half the time) around `ref`."""
        rng = self.rng
        down, up = (-1, 1) if side == m.BUY else (1, -1)
        sl = tp = 0.0
        if rng.random() < (0.25 if self.small else 0.5):
            sl = self.price(ins, ref + down * self.gap(ins, rng.choice([1, 1.5, 2, 3, 5, 10, 30])))
        if rng.random() < 0.5:
            tp = self.price(ins, ref + up * self.gap(ins, rng.choice([1, 1.5, 2, 3, 5, 10, 30])))
        return sl, tp

    # ---- request kinds -----------------------------------------------------------

    def market_deal(self) -> dict:
        ins = self.instrument(self.open_symbol())
        side = self.rng.choice([m.BUY, m.SELL])
        bid, ask = self.quote(ins.name)
        sl, tp = self.stops(ins, side, bid if side == m.BUY else ask)
        req = dict(action=m.DEAL, symbol=ins.name, type=side, volume=self.volume(ins, side), sl=sl, tp=tp,
                   magic=self.rng.randrange(4), comment=self.rng.choice(["", "model", "x" * 29]),
                   type_filling=self.rng.choice([0, 1, 2]))
        if self.rng.random() < 0.2:
            req.update(price=ask if side == m.BUY else bid, deviation=self.rng.randrange(3))
        if self.rng.random() < 0.1:  # a hair off the step: taken as whole steps
            req["volume"] += ins.volume_step * 1e-7
        return req

    def close(self) -> dict | None:
        p = self.pick(self.account.positions)
        if p is None:
            return None
        ins = self.instrument(p["symbol"])
        steps = round(p["volume"] / ins.volume_step)
        volume = p["volume"] if self.rng.random() < 0.5 else round(self.rng.randint(1, steps) * ins.volume_step, 8)
        return dict(action=m.DEAL, position=p["ticket"], type=m.SELL if p["type"] == m.BUY else m.BUY,
                    volume=volume, symbol=self.rng.choice(["", p["symbol"]]))

    def against(self) -> dict | None:
        """A deal on a position's symbol without naming it: on a netting
        account an add (another volume), or an opposite deal of a smaller,
        equal or larger volume (reduce, close, reverse); on a hedging one
        just another position."""
        p = self.pick(self.account.positions)
        if p is None:
            return None
        ins = self.instrument(p["symbol"])
        steps = round(p["volume"] / ins.volume_step)
        how = self.rng.choice(["add", "smaller", "equal", "equal", "larger"])
        side = p["type"] if how == "add" else m.SELL if p["type"] == m.BUY else m.BUY
        count = {"add": steps + self.rng.randint(1, 3), "smaller": self.rng.randint(1, max(1, steps - 1)),
                 "equal": steps, "larger": steps + self.rng.randint(1, 3)}[how]
        volume = round(min(ins.volume_max, count * ins.volume_step), 8)
        bid, ask = self.quote(ins.name)
        sl, tp = self.stops(ins, side, bid if side == m.BUY else ask) if how in ("add", "larger") else (0.0, 0.0)
        return dict(action=m.DEAL, symbol=ins.name, type=side, volume=volume, sl=sl, tp=tp,
                    magic=self.rng.randrange(4), comment=how)

    def pending(self, otype: int | None = None, symbol: str | None = None) -> dict:
        rng = self.rng
        ins = self.instrument(symbol or self.open_symbol())
        otype = rng.choice(range(m.BUY_LIMIT, m.SELL_STOP_LIMIT + 1)) if otype is None else otype
        bid, ask = self.quote(ins.name)
        buy = m.is_buy(otype)
        ref = ask if buy else bid
        away = 1 if otype in (m.SELL_LIMIT, m.BUY_STOP, m.BUY_STOP_LIMIT) else -1
        # A small account keeps more of its few orders waiting (far away).
        far = [30, 60, 100] if self.small else [30]
        price = self.price(ins, ref + away * self.gap(ins, rng.choice([1, 1.2, 1.5, 2, 3, 5, 10] + far)))
        stoplimit = 0.0
        entry = price
        if otype in (m.BUY_STOP_LIMIT, m.SELL_STOP_LIMIT):
            back = -1 if buy else 1
            factor = rng.choice([0, 1, 2, 5])  # 0: the limit at the stop price
            stoplimit = entry = self.price(ins, price + back * (self.gap(ins, factor) if factor else 0.0))
        sl, tp = self.stops(ins, m.BUY if buy else m.SELL, entry)
        req = dict(action=m.PENDING, symbol=ins.name, type=otype, volume=self.volume(ins, m.BUY if buy else m.SELL),
                   price=price, stoplimit=stoplimit, sl=sl, tp=tp, magic=rng.randrange(4),
                   comment=rng.choice(["", "pending"]), type_filling=rng.choice([0, 1, 2, 3]))
        req.update(self.expiration())
        return req

    def expiration(self) -> dict:
        rng = self.rng
        now_s = self.account.now_ms // 1000
        kind = rng.choice([m.GTC, m.GTC, m.GTC, m.DAY, m.SPECIFIED, m.SPECIFIED_DAY])
        if kind == m.SPECIFIED:
            return dict(type_time=kind, expiration=now_s + rng.randrange(2, 4 * 3600))
        if kind == m.SPECIFIED_DAY:
            return dict(type_time=kind, expiration=now_s + rng.randrange(0, 2 * 86400))
        return dict(type_time=kind)

    def sltp(self) -> dict | None:
        p = self.pick(self.account.positions)
        if p is None:
            return None
        ins = self.instrument(p["symbol"])
        bid, ask = self.quote(ins.name)
        roll = self.rng.random()
        if roll < 0.15:
            sl, tp = p["sl"], p["tp"]  # no changes
        elif roll < 0.25:
            sl = tp = 0.0
        else:
            sl, tp = self.stops(ins, p["type"], bid if p["type"] == m.BUY else ask)
        return dict(action=m.SLTP, position=p["ticket"], sl=sl, tp=tp, symbol=p["symbol"])

    def modify(self) -> dict | None:
        o = self.pick(self.account.orders)
        if o is None:
            return None
        keep = dict(action=m.MODIFY, order=o["ticket"], price=o["price_open"], stoplimit=o["price_stoplimit"],
                    sl=o["sl"], tp=o["tp"], type_time=o["type_time"], expiration=o["time_expiration"])
        if o["type_time"] == m.DAY:
            keep["expiration"] = 0
        if self.rng.random() < 0.15:
            return keep
        fresh = self.pending(o["type"], o["symbol"]) if self.instrument(o["symbol"]).is_open(self.account.now_ms) else None
        if fresh is None:
            ins = self.instrument(o["symbol"])
            entry = o["price_stoplimit"] or o["price_open"]
            sl, tp = self.stops(ins, m.BUY if m.is_buy(o["type"]) else m.SELL, entry)
            return dict(keep, sl=sl, tp=tp)
        return dict(keep, **{k: fresh[k] for k in ("price", "stoplimit", "sl", "tp", "type_time")},
                    expiration=fresh.get("expiration", 0))

    def remove(self) -> dict | None:
        o = self.pick(self.account.orders)
        return None if o is None else dict(action=m.REMOVE, order=o["ticket"])

    def close_by(self) -> dict | None:
        positions = sorted(self.account.positions.values(), key=lambda p: p["ticket"])
        pairs = [(p, q) for p in positions for q in positions
                 if p["symbol"] == q["symbol"] and p["type"] != q["type"]]
        if pairs and self.rng.random() < 0.8:
            p, q = self.rng.choice(pairs)
        elif positions:
            p, q = self.rng.choice(positions), self.rng.choice(positions)  # same side or same ticket: INVALID
            same = [(a, b) for a in positions for b in positions if a is not b and a["type"] == b["type"]]
            if same and self.rng.random() < 0.7:
                p, q = self.rng.choice(same)
        else:
            return None
        return dict(action=m.CLOSE_BY, position=p["ticket"], position_by=q["ticket"])

    def invalid(self) -> dict:
        rng = self.rng
        base = self.market_deal()
        base.pop("price", None)
        base.update(sl=0.0, tp=0.0, volume=self.instrument(base["symbol"]).volume_min)
        ins = self.instrument(base["symbol"])
        bid, ask = self.quote(ins.name)
        level = ins.stops_level * ins.point
        pend = self.pending()
        pend_spec = self.instrument(pend["symbol"])
        unknown = self.account.next_ticket + 1000
        kinds = {
            "volume off the step": lambda: dict(base, volume=ins.volume_min * 1.5),
            "volume 0": lambda: dict(base, volume=0.0),
            "volume above the maximum": lambda: dict(base, volume=ins.volume_max + ins.volume_step),
            "volume NaN": lambda: dict(base, volume=float("nan")),
            "unknown symbol": lambda: dict(base, symbol="NOSUCH"),
            "symbol with units after its end": lambda: dict(base, symbol=ins.name + "\0x"),
            "comment with units after its end": lambda: dict(base, comment="ok\0junk"),
            "comment past 29 units": lambda: dict(base, comment="x" * 30),
            "deal of a pending type": lambda: dict(base, type=m.BUY_LIMIT),
            "pending of a market type": lambda: dict(pend, type=m.BUY),
            "deal filling BOC or unknown": lambda: dict(base, type_filling=rng.choice([3, 7])),
            "pending filling unknown": lambda: dict(pend, type_filling=9),
            "unknown action": lambda: dict(base, action=99),
            "price beyond the deviation": lambda: dict(
                base, price=(ask if base["type"] == m.BUY else bid) + (3 + 1) * ins.point, deviation=3),
            # Far enough from the ask, too close to the bid.
            "buy SL inside the spread band": lambda: dict(
                base, type=m.BUY, sl=self.price(ins, bid - level + ins.tick * rng.randint(1, 3))),
            "buy TP a tick too close": lambda: dict(base, type=m.BUY, tp=self.price(ins, bid + level - ins.tick)),
            "sell SL a tick too close": lambda: dict(base, type=m.SELL, sl=self.price(ins, ask + level - ins.tick)),
            "SL off the tick grid": lambda: dict(
                base, type=m.BUY, sl=self.price(ins, bid - 3 * level) + ins.tick / 2),
            "TP unreachable": lambda: dict(base, type=m.BUY, tp=rng.choice([5e-324, 1e308, -1.0, float("inf")])),
            "pending price off the grid": lambda: dict(pend, price=pend["price"] + pend_spec.tick / 2),
            "pending price unreachable": lambda: dict(
                pend, price=rng.choice([5e-324, 1e308, -pend["price"], float("nan")])),
            "pending a tick too close": self.pending_too_close,
            "stop-limit limit beyond its stop": self.stop_limit_wrong_side,
            "expiration past": lambda: dict(
                pend, type_time=m.SPECIFIED, expiration=self.account.now_ms // 1000 - rng.randrange(0, 3600)),
            "expiration kind unknown": lambda: dict(pend, type_time=9),
            "expiration beyond 2099": lambda: dict(pend, type_time=rng.choice([m.SPECIFIED, m.SPECIFIED_DAY]),
                                                   expiration=rng.choice([4102444800, 2**63 - 1])),
            "deal price unusable": lambda: dict(base, price=rng.choice([-1.0, float("nan"), float("inf")])),
            "close of an unknown position": lambda: dict(
                action=m.DEAL, position=unknown, type=m.SELL, volume=ins.volume_min),
            "modify of an unknown order": lambda: dict(action=m.MODIFY, order=unknown, price=1.0),
            "remove of an unknown order": lambda: dict(action=m.REMOVE, order=unknown),
            "SLTP of an unknown position": lambda: dict(action=m.SLTP, position=unknown, sl=1.0),
            "close-by of unknown positions": lambda: dict(
                action=m.CLOSE_BY, position=unknown, position_by=unknown + 1),
            "close beyond the position or in its direction": self.bad_close,
            "SLTP a tick too close": self.bad_sltp,
            "modify off the grid or past": self.bad_modify,
        }
        name = rng.choice(sorted(kinds))
        self.label = "invalid: " + name
        return kinds[name]()

    def two_faults(self) -> dict:
        """A request wrong in two ways: the first rule broken, in the order
        the Terminal checks them, names the refusal."""
        rng = self.rng
        if rng.random() < 0.5:
            req = self.market_deal()
            req.pop("price", None)
            ins = self.instrument(req["symbol"])
            bid, ask = self.quote(ins.name)
            level = ins.stops_level * ins.point
            ref = bid if req["type"] == m.BUY else ask
            down = -1 if req["type"] == m.BUY else 1
            faults = {
                "symbol": dict(symbol=ins.name + "\0x"), "type": dict(type=m.SELL_STOP),
                "filling": dict(type_filling=5), "volume": dict(volume=ins.volume_min * 1.5),
                "price": dict(price=ref + 5 * ins.point, deviation=2), "sl grid": dict(sl=ref + down * 3 * level
                                                                                      + ins.tick / 2),
                "sl level": dict(sl=self.price(ins, ref + down * (level - ins.tick))),
                "money": dict(volume=ins.volume_max),
            }
        else:
            req = self.pending()
            ins = self.instrument(req["symbol"])
            faults = {
                "comment": dict(comment="a\0b"), "type": dict(type=m.BUY), "filling": dict(type_filling=4),
                "volume": dict(volume=0.0), "grid": dict(price=req["price"] + ins.tick / 2),
                "placement": self.too_close(req), "sl grid": dict(sl=(req["stoplimit"] or req["price"])
                                                                  + ins.tick / 3),
                "expiration": dict(type_time=m.SPECIFIED, expiration=1),
            }
        pairs = [(a, b) for a in sorted(faults) for b in sorted(faults) if a < b and not faults[a].keys() & faults[b]]
        first, second = rng.choice(pairs)
        self.label = f"two faults: {first}, {second}"
        return {**req, **faults[first], **faults[second]}

    def pending_too_close(self) -> dict:
        req = self.pending()
        return dict(req, **self.too_close(req), sl=0.0, tp=0.0)

    def too_close(self, req: dict) -> dict:
        """The price (and a stop-limit's limit) a tick inside the stops level."""
        ins = self.instrument(req["symbol"])
        bid, ask = self.quote(ins.name)
        ref = ask if m.is_buy(req["type"]) else bid
        away = 1 if req["type"] in (m.SELL_LIMIT, m.BUY_STOP, m.BUY_STOP_LIMIT) else -1
        price = self.price(ins, ref + away * (ins.stops_level * ins.point - ins.tick))
        return dict(price=price, stoplimit=price if req["stoplimit"] else 0.0)

    def stop_limit_wrong_side(self) -> dict:
        req = self.pending(self.rng.choice([m.BUY_STOP_LIMIT, m.SELL_STOP_LIMIT]))
        ins = self.instrument(req["symbol"])
        beyond = ins.tick * self.rng.choice([1, 5, 20])
        stoplimit = req["price"] + beyond if req["type"] == m.BUY_STOP_LIMIT else req["price"] - beyond
        return dict(req, stoplimit=self.price(ins, stoplimit), sl=0.0, tp=0.0)

    def bad_close(self) -> dict | None:
        p = self.pick(self.account.positions)
        if p is None:
            return None
        ins = self.instrument(p["symbol"])
        if self.rng.random() < 0.5:  # more than the position holds
            return dict(action=m.DEAL, position=p["ticket"], type=m.SELL if p["type"] == m.BUY else m.BUY,
                        volume=round(p["volume"] + ins.volume_step, 8))
        if self.rng.random() < 0.3:  # another symbol than the position's
            other = next(s for s in self.symbols if s != p["symbol"])
            return dict(action=m.DEAL, position=p["ticket"], type=m.SELL if p["type"] == m.BUY else m.BUY,
                        volume=ins.volume_min, symbol=other)
        return dict(action=m.DEAL, position=p["ticket"], type=p["type"], volume=ins.volume_min)  # own direction

    def bad_sltp(self) -> dict | None:
        p = self.pick(self.account.positions)
        if p is None:
            return None
        ins = self.instrument(p["symbol"])
        bid, ask = self.quote(ins.name)
        level = ins.stops_level * ins.point
        sl = bid - level + ins.tick if p["type"] == m.BUY else ask + level - ins.tick
        return dict(action=m.SLTP, position=p["ticket"], sl=self.price(ins, sl), tp=p["tp"])

    def bad_modify(self) -> dict | None:
        o = self.pick(self.account.orders)
        if o is None:
            return None
        ins = self.instrument(o["symbol"])
        req = dict(action=m.MODIFY, order=o["ticket"], price=o["price_open"], stoplimit=o["price_stoplimit"],
                   sl=o["sl"], tp=o["tp"], type_time=o["type_time"], expiration=o["time_expiration"])
        if self.rng.random() < 0.5:
            return dict(req, price=o["price_open"] + ins.tick / 2)
        return dict(req, type_time=m.SPECIFIED, expiration=self.account.now_ms // 1000 - 60)

    def pick(self, records: dict) -> dict | None:
        if not records:
            return None
        return records[self.rng.choice(sorted(records))]

    # ---- the stream ------------------------------------------------------------------

    def advance_to(self) -> int:
        rng = self.rng
        now = self.account.now_ms
        unit = rng.choices(["s", "min", "h", "d"], weights=[3, 4, 2, 2])[0]
        span = {"s": (1_000, 60_000), "min": (60_000, 1_800_000), "h": (3_600_000, 8 * 3_600_000),
                "d": (m.DAY_MS, 3 * m.DAY_MS)}[unit]
        to = now + rng.randrange(*span)
        weekday = (to // m.DAY_MS + 3) % 7
        if weekday >= 5 and rng.random() < 0.7:  # mostly skip to Monday
            to = (to // m.DAY_MS + 7 - weekday) * m.DAY_MS + rng.randrange(3600_000, 10 * 3600_000)
        return to

    def steps(self, count: int):
        rng = self.rng
        hedging = self.account.terms.hedging
        kinds = [(self.market_deal, 20 if self.small else 14), (self.against, 6 if hedging else 14),
                 (self.close, 5), (self.pending, 16), (self.sltp, 5), (self.modify, 5), (self.remove, 3),
                 (self.close_by, 7 if hedging else 1), (self.invalid, 14), (self.two_faults, 4), ("advance", 24)]
        makers, weights = zip(*kinds)
        for _ in range(count):
            maker = rng.choices(makers, weights)[0]
            if maker == "advance":
                yield "advance", self.advance_to(), False, "advance"
                continue
            self.label = maker.__name__
            req = maker()
            if req is not None:
                yield "send", req, rng.random() < 0.35, self.label
