"""The Terminal's paper trading, through raw frames: market and pending
orders, stops fired by the moving price process, partial close, close-by,
netting, validation, auto-trading off, durability and concurrent clients."""

from __future__ import annotations

import stat
import subprocess
from decimal import ROUND_HALF_UP, Decimal
import sys
import textwrap
import time
from pathlib import Path

import host
import pytest

import terminal_client as tc

# Wednesday 2024-03-13 12:00 UTC: forex trades; the next midnight is the
# triple-swap rollover of forex.
WED_NOON = 1710331200
SAT_NOON = WED_NOON + 3 * 86400
DAY = 86400

DEAL, PENDING, SLTP, MODIFY, REMOVE, CLOSE_BY = 1, 2, 3, 4, 5, 6
BUY, SELL, BUY_LIMIT, SELL_LIMIT, BUY_STOP, SELL_STOP, BUY_STOP_LIMIT = 0, 1, 2, 3, 4, 5, 6
DONE, PLACED = 1, 2
RC = {
    "INVALID": 13, "INVALID_VOLUME": 14, "INVALID_PRICE": 15, "INVALID_STOPS": 16, "MARKET_CLOSED": 18,
    "NO_MONEY": 19, "PRICE_CHANGED": 20, "INVALID_EXPIRATION": 22, "NO_CHANGES": 23, "INVALID_FILL": 25,
    "INVALID_ORDER": 28, "POSITION_CLOSED": 29, "INVALID_CLOSE_VOLUME": 30, "HEDGE_PROHIBITED": 32,
}
DEAL_BALANCE = 2
ENTRY_IN, ENTRY_OUT, ENTRY_INOUT, ENTRY_OUT_BY = 0, 1, 2, 3
REASON_SL, REASON_TP = 4, 5
STATE_CANCELED, STATE_FILLED, STATE_EXPIRED = 2, 4, 6


def at(seconds: int) -> str:
    return f"{seconds}.000"


def quote(c: tc.TerminalClient, symbol: str = "EURUSD") -> tuple[float, float]:
    result, tick = c.symbol_info_tick(symbol)
    assert result == tc.SUCCESS
    return float(tick["bid"]), float(tick["ask"])


def cents(x: float) -> int:
    return round(x * 100)


def assert_books_agree(c: tc.TerminalClient, frozen: bool = True) -> dict:
    """Balance is the sum of every deal's money; equity adds the open
    positions' profit and swap; every history order that filled has its
    deals. Returns the account record. Under a moving clock prices move
    between requests, so only the balance is compared, on a history that
    did not change around the account request."""
    for _ in range(20):
        deals = c.history_deals()
        account = c.account_info()
        if frozen or c.history_deals() == deals:
            break
    assert cents(account["balance"]) == sum(cents(d["profit"]) + cents(d["commission"]) + cents(d["swap"]) for d in deals)
    if frozen:
        open_money = sum(cents(p["profit"]) + cents(p["swap"]) for p in c.positions())
        assert cents(account["equity"]) == cents(account["balance"]) + open_money
    deal_orders = {d["order"] for d in deals}
    for o in c.history_orders():
        if o["state"] == STATE_FILLED and o["type"] in (BUY, SELL):
            assert o["ticket"] in deal_orders
    return account


def test_full_scenario_across_a_day(launch):
    t = launch(now=at(WED_NOON))
    with t.client() as c:
        bid, ask = quote(c)
        start = c.account_info()["balance"]
        a = c.order_send(action=DEAL, symbol="EURUSD", volume=0.3, type=BUY, deviation=5,
                         sl=round(bid - 0.0100, 5), tp=round(bid + 0.0015, 5), comment="scenario")
        assert a["retcode"] == DONE and a["price"] == ask and a["volume"] == 0.3
        b = c.order_send(action=DEAL, symbol="EURUSD", volume=0.1, type=SELL)
        assert b["retcode"] == DONE and b["price"] == bid
        stop = c.order_send(action=PENDING, symbol="EURUSD", volume=0.1, type=BUY_STOP, price=round(ask + 0.0008, 5))
        assert stop["retcode"] == PLACED
        far = c.order_send(action=PENDING, symbol="EURUSD", volume=0.1, type=BUY_LIMIT, price=round(ask - 0.0400, 5),
                           type_time=2, expiration=WED_NOON + 3600)
        assert far["retcode"] == PLACED

        # Partial close of A, then the rest of B closes against A.
        assert c.order_send(action=DEAL, symbol="EURUSD", volume=0.1, type=SELL, position=a["order"])["retcode"] == DONE
        assert c.position(a["order"])[1]["volume"] == pytest.approx(0.2)
        by = c.order_send(action=CLOSE_BY, position=a["order"], position_by=b["order"])
        assert by["retcode"] == DONE
        assert [p["volume"] for p in c.positions()] == [pytest.approx(0.1)]
        out_by = [d for d in c.history_deals() if d["entry"] == ENTRY_OUT_BY]
        assert len(out_by) == 2 and {d["position_id"] for d in out_by} == {a["order"], b["order"]}
        assert_books_agree(c)
    t.stop()

    # A day later the process has fired what it touched, in time order.
    t.start(now=at(WED_NOON + DAY))
    with t.client() as c:
        account = assert_books_agree(c)
        orders = {o["ticket"]: o for o in c.history_orders()}
        assert orders[stop["order"]]["state"] == STATE_FILLED
        assert orders[far["order"]]["state"] == STATE_EXPIRED
        closing = [d for d in c.history_deals() if d["position_id"] == a["order"] and d["reason"] in (REASON_SL, REASON_TP)]
        if closing:  # the stop or the target was reached within the day
            (d,) = closing
            position_gone = c.position(a["order"])[0] == tc.NOT_FOUND
            assert position_gone and d["volume"] == pytest.approx(0.1)
        else:
            # Still open over the rollover: it carries the triple swap.
            assert c.position(a["order"])[1]["swap"] != 0
        assert account["balance"] != start


def place(c: tc.TerminalClient, build) -> dict:
    """Sends build(bid, ask) at the latest quote. Under a fast clock the
    market may move between reading the quote and the request, making the
    prices stale; then it tries again with a fresh quote."""
    for _ in range(50):
        result = c.order_send(**build(*quote(c)))
        if result["retcode"] not in (RC["INVALID_PRICE"], RC["INVALID_STOPS"]):
            return result
    return result


def test_stops_and_pending_orders_fire_under_the_moving_clock(launch):
    t = launch("--clock", "2024-03-13T12:00:00Z", "--speed", "3600", now=None)
    with t.client() as c:
        pos = place(c, lambda bid, ask: dict(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY,
                                             sl=round(bid - 0.0010, 5), tp=round(bid + 0.0010, 5)))
        assert pos["retcode"] == DONE
        limit_sl = {}

        def limit(bid, ask):
            limit_sl["sl"] = round(ask - 0.0100, 5)
            return dict(action=PENDING, symbol="EURUSD", volume=0.1, type=BUY_LIMIT, price=round(ask - 0.0005, 5),
                        sl=limit_sl["sl"])

        order = place(c, limit)
        assert order["retcode"] == PLACED
        # An hour of market per second: wait (bounded) until both fired.
        deadline = time.monotonic() + 60
        while (c.position(pos["order"])[0] != tc.NOT_FOUND or c.orders()) and time.monotonic() < deadline:
            time.sleep(0.2)
        assert c.orders() == []
        closing = [d for d in c.history_deals() if d["position_id"] == pos["order"] and d["entry"] == ENTRY_OUT]
        (d,) = closing
        assert d["reason"] in (REASON_SL, REASON_TP)
        filled = [p for p in c.positions() if p["ticket"] == order["order"]]
        assert not filled or filled[0]["sl"] == pytest.approx(limit_sl["sl"])
        assert_books_agree(c, frozen=False)


@pytest.mark.parametrize("login, password, positions_after", [(5001001, "demo1001", 2), (5001002, "demo1002", 1)])
def test_hedging_keeps_each_position_netting_keeps_one(terminal, login, password, positions_after):
    with terminal.client() as c:
        assert c.login(login, password) == tc.SUCCESS
        for side, volume in ((BUY, 0.3), (SELL, 0.1)):
            assert c.order_send(action=DEAL, symbol="EURUSD", volume=volume, type=side)["retcode"] == DONE
        positions = c.positions()
        assert len(positions) == positions_after
        if positions_after == 1:  # netting: the sell reduced the buy
            assert positions[0]["volume"] == pytest.approx(0.2) and positions[0]["type"] == BUY
            # A larger sell reverses it under the same identifier.
            assert c.order_send(action=DEAL, symbol="EURUSD", volume=0.5, type=SELL)["retcode"] == DONE
            (p,) = c.positions()
            assert (p["type"], p["identifier"]) == (SELL, positions[0]["identifier"])
            assert p["volume"] == pytest.approx(0.3)
            assert c.history_deals()[-1]["entry"] == ENTRY_INOUT
            by = c.order_send(action=CLOSE_BY, position=p["ticket"], position_by=p["ticket"])
            assert by["retcode"] == RC["HEDGE_PROHIBITED"]
        assert_books_agree(c)


def _bad(**kw):
    base = dict(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY)
    base.update(kw)
    return base


def _ger40(**kw):
    """A GER40 request (tick 0.5, one digit) built from its quote."""
    def build(c):
        bid, ask = quote(c, "GER40")
        return _bad(symbol="GER40", **{k: v(bid, ask) if callable(v) else v for k, v in kw.items()})
    return build


@pytest.mark.parametrize(
    "request_, expected",
    [
        (_bad(volume=0.0), "INVALID_VOLUME"),
        (_bad(volume=0.015), "INVALID_VOLUME"),
        (_bad(volume=1e9), "INVALID_VOLUME"),
        (_bad(symbol="NOSUCH"), "INVALID"),
        (_bad(symbol="EURUSD\x00x"), "INVALID"),  # units after the name's end
        (_bad(comment="a\x00b"), "INVALID"),
        (_bad(action=99), "INVALID"),
        (_bad(type=BUY_LIMIT), "INVALID"),
        (_bad(type_filling=7), "INVALID_FILL"),
        (_bad(sl=5.0), "INVALID_STOPS"),
        (_bad(tp=0.5), "INVALID_STOPS"),
        (_bad(sl=5e-324), "INVALID_STOPS"),  # below one tick
        (_bad(tp=1e308), "INVALID_STOPS"),  # beyond reach
        (_bad(price=0.5, deviation=10), "PRICE_CHANGED"),
        (_bad(volume=90.0), "NO_MONEY"),
        (_bad(action=PENDING, type=BUY_LIMIT, price=5.0), "INVALID_PRICE"),
        (_bad(action=PENDING, type=SELL_STOP, price=5.0), "INVALID_PRICE"),
        (_bad(action=PENDING, type=BUY_LIMIT, price=5e-324), "INVALID_PRICE"),
        (_bad(action=PENDING, type=SELL_LIMIT, price=1e308), "INVALID_PRICE"),
        (_ger40(action=PENDING, type=BUY_LIMIT, price=lambda bid, ask: round(ask) - 100.2), "INVALID_PRICE"),
        (_ger40(sl=lambda bid, ask: round(bid) - 100.37), "INVALID_STOPS"),
        (_bad(action=PENDING, type=BUY_LIMIT, price=0.5, type_time=2, expiration=WED_NOON - 1), "INVALID_EXPIRATION"),
        (_bad(action=PENDING, type=BUY_LIMIT, price=0.5, type_time=9), "INVALID_EXPIRATION"),
        (_bad(action=PENDING, type=BUY_LIMIT, price=0.5, type_time=2, expiration=2**63 - 1), "INVALID_EXPIRATION"),
        (_bad(action=PENDING, type=BUY_LIMIT, price=0.5, type_time=3, expiration=2**63 - 1), "INVALID_EXPIRATION"),
        (_bad(volume=float("nan")), "INVALID_VOLUME"),
        (_bad(sl=float("nan")), "INVALID_STOPS"),
        (_bad(action=PENDING, type=BUY_LIMIT, price=float("inf")), "INVALID_PRICE"),
        (_bad(position=424242, type=SELL), "POSITION_CLOSED"),
        (dict(action=MODIFY, order=424242, price=1.0), "INVALID_ORDER"),
        (dict(action=REMOVE, order=424242), "INVALID_ORDER"),
        (dict(action=SLTP, position=424242, sl=1.0), "POSITION_CLOSED"),
    ],
)
def test_check_and_send_refuse_alike(launch, request_, expected):
    t = launch(now=at(WED_NOON))
    with t.client() as c:
        if callable(request_):
            request_ = request_(c)
        before = c.account_info()
        check = c.order_check(**request_)
        assert check["retcode"] == RC[expected], check
        assert cents(check["balance"]) == cents(before["balance"])
        sent = c.order_send(**request_)
        assert (sent["retcode"], sent["comment"], sent["order"], sent["deal"]) == (RC[expected], check["comment"], 0, 0)
        assert c.positions() == [] and c.orders() == []


def test_check_reports_the_account_after_the_trade(launch):
    t = launch(now=at(WED_NOON))
    with t.client() as c:
        check = c.order_check(action=DEAL, symbol="EURUSD", volume=1.0, type=BUY)
        assert check["retcode"] == DONE
        sent = c.order_send(action=DEAL, symbol="EURUSD", volume=1.0, type=BUY)
        account = c.account_info()
        for key in ("balance", "equity", "margin", "margin_free"):
            assert cents(check[key]) == cents(account[key]), key
        assert c.history_deals()[-1]["ticket"] == sent["deal"]


def money(x, digits: int = 2) -> float:
    """An amount rounded half away from zero, exactly."""
    return float(Decimal(x).quantize(Decimal(1).scaleb(-digits), ROUND_HALF_UP))


def test_close_by_books_the_pairs_result_once(launch):
    t = launch(now=at(WED_NOON))
    with t.client() as c:
        bid, ask = quote(c)
        a = c.order_send(action=DEAL, symbol="EURUSD", volume=0.3, type=BUY)["order"]
        b = c.order_send(action=DEAL, symbol="EURUSD", volume=0.1, type=SELL)["order"]
        by = c.order_send(action=CLOSE_BY, position=a, position_by=b)
        assert (by["retcode"], by["price"], by["volume"]) == (DONE, bid, 0.1)
        # `a` closes at b's opening price with the pair's result; b at its own, for nothing.
        result = money((Decimal(str(bid)) - Decimal(str(ask))) * 10000)
        deals = [(d["ticket"], d["position_id"], d["entry"], d["price"], d["profit"], d["commission"])
                 for d in c.history_deals()[-2:]]
        assert deals == [(by["deal"], a, ENTRY_OUT_BY, bid, result, -0.25), (by["deal"] + 1, b, ENTRY_OUT_BY, bid, 0.0, -0.25)]
        order = c.history_orders()[-1]
        assert (order["ticket"], order["type"], order["price_open"], order["position_id"], order["position_by_id"]) == (
            by["order"], 8, bid, a, b)
        assert [(p["ticket"], p["volume"]) for p in c.positions()] == [(a, 0.2)]
        assert_books_agree(c)


@pytest.mark.parametrize("login, password, lots, pair", [
    (5001001, "demo1001", 0.5, None), (5001002, "demo1002", 0.1, "EURUSD"), (5001004, "demo1004", 5.0, "USDJPY")])
def test_commission_is_2_50_usd_a_lot_converted_like_a_profit(launch, login, password, lots, pair):
    t = launch(now=at(WED_NOON))
    with t.client() as c:
        assert c.login(login, password) == tc.SUCCESS
        sent = c.order_send(action=DEAL, symbol="XAUUSD", volume=lots, type=BUY)
        assert sent["retcode"] == DONE
        amount = 2.5 * lots
        if pair:
            bid, ask = quote(c, pair)
            amount = amount / ask if pair == "EURUSD" else amount * bid
        (deal,) = [d for d in c.history_deals() if d["ticket"] == sent["deal"]]
        assert deal["commission"] == -money(amount, 0 if pair == "USDJPY" else 2)


def test_account_profit_rounds_the_sum_of_exact_profits(launch):
    t = launch(now=at(WED_NOON))
    with t.client() as c:
        bid, ask = quote(c, "BTCUSD")
        for _ in range(3):
            assert c.order_send(action=DEAL, symbol="BTCUSD", volume=0.01, type=BUY)["retcode"] == DONE
        each = (Decimal(str(bid)) - Decimal(str(ask))) / 100
        assert [p["profit"] for p in c.positions()] == [money(each)] * 3
        assert c.account_info()["profit"] == money(3 * each) != 3 * money(each)


def test_a_stop_converts_at_its_own_moment(launch):
    # A JPY account: the stop of a gold position converts its USD profit and
    # commission at USDJPY's bid when the stop fires, not when the walk runs.
    t = launch(now=at(WED_NOON))
    with t.client() as c:
        assert c.login(5001004, "demo1004") == tc.SUCCESS
        bid, _ = quote(c, "XAUUSD")
        opened = c.order_send(action=DEAL, symbol="XAUUSD", volume=1.0, type=BUY, sl=round(bid - 1.0, 2),
                              tp=round(bid + 1.0, 2))
        assert opened["retcode"] == DONE
    t.stop()
    t.start(now=at(WED_NOON + 6 * 3600))
    with t.client() as c:
        assert c.login(5001004, "demo1004") == tc.SUCCESS
        (d,) = [d for d in c.history_deals() if d["reason"] in (REASON_SL, REASON_TP)]
        _, ticks = c.ticks_range("USDJPY", d["time_msc"] - 600_000, d["time_msc"], 1)
        rate = float(ticks["bid"][-1])
        assert d["commission"] == -money(2.5 * rate, 0)
        usd = float((Decimal(str(d["price"])) - Decimal(str(opened["price"]))) * 100)
        assert d["profit"] == money(usd * rate, 0)


def test_closing_requests_on_open_positions_and_orders(launch):
    t = launch(now=at(WED_NOON))
    with t.client() as c:
        bid, ask = quote(c)
        p = c.order_send(action=DEAL, symbol="EURUSD", volume=0.2, type=BUY)["order"]
        assert c.order_send(action=DEAL, volume=0.3, type=SELL, position=p)["retcode"] == RC["INVALID_CLOSE_VOLUME"]
        assert c.order_send(action=SLTP, position=p, sl=round(bid - 0.005, 5))["retcode"] == DONE
        assert c.order_send(action=SLTP, position=p, sl=round(bid - 0.005, 5))["retcode"] == RC["NO_CHANGES"]
        o = c.order_send(action=PENDING, symbol="EURUSD", volume=0.1, type=BUY_STOP_LIMIT,
                         price=round(ask + 0.002, 5), stoplimit=round(ask + 0.001, 5))["order"]
        assert c.order_send(action=MODIFY, order=o, price=round(ask + 0.003, 5), stoplimit=round(ask + 0.001, 5))["retcode"] == DONE
        assert c.orders()[0]["price_open"] == pytest.approx(round(ask + 0.003, 5))
        assert c.symbol_select("EURUSD", False) == tc.FAILED  # in use by the position and the order
        assert c.order_send(action=REMOVE, order=o)["retcode"] == DONE
        assert c.order_send(action=DEAL, volume=0.2, type=SELL, position=p)["retcode"] == DONE
        assert c.orders() == [] and c.positions() == []
        states = {h["ticket"]: h["state"] for h in c.history_orders()}
        assert states[o] == STATE_CANCELED
        assert c.symbol_select("EURUSD", False) == tc.SUCCESS


@pytest.mark.parametrize("option", [("--trade-allowed=0",), ("--tradeapi-disabled",)])
def test_send_answers_minus_8_with_auto_trading_off(launch, option):
    t = launch(*option, now=at(WED_NOON))
    with t.client() as c:
        assert c.order_send(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY) == tc.AUTO_TRADING_DISABLED
        assert c.order_check(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY)["retcode"] == DONE
        assert c.positions() == []


def test_weekend_market_is_closed(launch):
    t = launch(now=at(SAT_NOON))
    with t.client() as c:
        assert c.order_send(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY)["retcode"] == RC["MARKET_CLOSED"]
        # Crypto trades around the clock.
        assert c.order_send(action=DEAL, symbol="BTCUSD", volume=0.01, type=BUY)["retcode"] == DONE


def test_database_is_private_and_lists_are_well_formed(launch):
    t = launch(now=at(WED_NOON))
    with t.client() as c:
        c.order_send(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY)
        assert c.total(tc.POSITIONS_TOTAL) == 1 and c.total(tc.ORDERS_TOTAL) == 0
        assert c.total(tc.HISTORY_DEALS_TOTAL, tc.i64(0) + tc.i64(WED_NOON * 2)) == 2
        assert c.total(tc.HISTORY_DEALS_TOTAL, tc.i64(WED_NOON + 1) + tc.i64(WED_NOON * 2)) == 0
        assert c.status(tc.POSITION_BY_TICKET, tc.u64(99999)) == tc.NOT_FOUND
        assert c.status(tc.POSITION_BY_TICKET, tc.u32(1)) == tc.INVALID_PARAMS
        assert c.status(tc.ORDER_SEND, b"\0" * 231) == tc.INVALID_PARAMS
        assert c.status(tc.POSITIONS_BY_SYMBOL, tc.wide("X" * 30)) == tc.INVALID_PARAMS
    db = t.data_folder / "trading.db"
    if not host.WINDOWS:  # there the profile folder's access list keeps others out
        assert stat.S_IMODE(db.stat().st_mode) == 0o600


TRADER = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, {tests!r})
    import terminal_client as tc
    exe, rounds, acks = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with tc.TerminalClient.connect(exe) as c, open(acks, "a") as out:
        c.handshake()
        for k in range(rounds):
            r = c.order_send(action=1, symbol="EURUSD", volume=0.1, type=k % 2)
            out.write(f"{{r['retcode']}} {{r['order']}} {{r['deal']}}\\n")
            out.flush()
    """
)


def start_trader(t, tmp: Path, name: str, rounds: int) -> tuple[subprocess.Popen, Path]:
    script = tmp / "trader.py"
    script.write_text(TRADER.format(tests=str(Path(tc.__file__).parent)))
    acks = tmp / f"{name}.acks"
    acks.touch()
    return subprocess.Popen([sys.executable, str(script), t.exe, str(rounds), str(acks)]), acks


def test_two_clients_trading_at_once_stay_consistent(launch, tmp_path):
    t = launch(now=at(WED_NOON))
    traders = [start_trader(t, tmp_path, f"t{k}", 25) for k in range(2)]
    for proc, _ in traders:
        assert proc.wait(timeout=120) == 0
    acked = [line.split() for _, acks in traders for line in acks.read_text().splitlines()]
    assert len(acked) == 50 and all(int(code) == DONE for code, _, _ in acked)
    with t.client() as c:
        account = assert_books_agree(c)
        deals = c.history_deals()
        assert {int(d) for _, _, d in acked} <= {d["ticket"] for d in deals}
        assert len(c.positions()) == 50  # hedging: every buy and sell stays open
        assert account["margin"] > 0


FRI_NOON = WED_NOON + 2 * DAY


@pytest.mark.parametrize(
    "start, days, nights",
    [
        (WED_NOON, 1, 3),  # Wednesday night is the triple rollover of forex
        (WED_NOON, 2, 4),  # ... then a single Thursday night
        (FRI_NOON, 3, 1),  # Friday night; none over the weekend
    ],
)
def test_swaps_accrue_at_each_rollover_and_leave_with_the_close(launch, start, days, nights):
    t = launch(now=at(start))
    with t.client() as c:
        swap_long = c.symbol_info("EURUSD")[1]["swap_long"]
        ticket = c.order_send(action=DEAL, symbol="EURUSD", volume=0.5, type=BUY)["order"]
    t.stop()
    t.start(now=at(start + days * DAY))
    with t.client() as c:
        # Points x point size x contract x lots, in USD: the account's currency.
        expected = round(nights * swap_long * 1e-5 * 100000 * 0.5, 2)
        assert c.position(ticket)[1]["swap"] == pytest.approx(expected)
        assert c.order_send(action=DEAL, volume=0.2, type=SELL, position=ticket)["retcode"] == DONE
        assert c.history_deals()[-1]["swap"] == pytest.approx(round(expected * 0.4, 2))
        assert_books_agree(c)


def test_stop_out_closes_the_losing_position(launch, installation):
    # Where the market goes in the week ahead, read from the history of a
    # Terminal whose clock stands a week later.
    probe = launch(name="probe", now=at(WED_NOON + 7 * DAY))
    with probe.client() as c:
        _, ticks = c.ticks_range("EURUSD", WED_NOON * 1000, (WED_NOON + 7 * DAY) * 1000, 1)
    probe.stop()
    start_bid, start_ask = float(ticks["bid"][0]), float(ticks["ask"][0])
    low, high = int(ticks["bid"].argmin()), int(ticks["ask"].argmax())
    fall, rise = start_ask - float(ticks["bid"][low]), float(ticks["ask"][high]) - start_bid
    side, worst = (BUY, low) if fall >= rise else (SELL, high)
    excursion = max(fall, rise)
    # A volume whose loss at the worst tick takes the margin level of a
    # 1000 USD account at 1:1000 well below the stop-out level.
    volume = min(9.0, round(2500 / (excursion * 100000 + 60), 2))

    config = installation.data_folder / "config"
    config.mkdir(parents=True)
    (config / "terminal.ini").write_text("[Account 7001001]\npassword=pw\nbalance=1000\nleverage=1000\n")
    installation.start(now=at(WED_NOON))
    with installation.client() as c:
        assert c.login(7001001, "pw") == tc.SUCCESS
        sent = c.order_send(action=DEAL, symbol="EURUSD", volume=volume, type=side)
        assert sent["retcode"] == DONE, sent
    installation.stop()
    installation.start(now=str(int(ticks["time_msc"][worst]) / 1000))
    with installation.client() as c:
        assert c.login(7001001, "pw") == tc.SUCCESS
        assert c.positions() == []
        last = c.history_deals()[-1]
        assert (last["position_id"], last["reason"], last["entry"]) == (sent["order"], 6, ENTRY_OUT)
        account = assert_books_agree(c)
        assert account["margin"] == 0 and account["balance"] < 1000
