"""The Terminal's paper trading, through raw frames, where the reference
model (test_model.py) does not reach: stops and pending orders under the
moving clock, Market Watch held by trades, auto-trading off, and the database
and its lists."""

from __future__ import annotations

import stat
import time

import host
import pytest

import terminal_client as tc

# Wednesday 2024-03-13 12:00 UTC: forex trades; the next midnight is the
# triple-swap rollover of forex.
WED_NOON = 1710331200

DEAL, PENDING, REMOVE = 1, 2, 5
BUY, SELL, BUY_LIMIT = 0, 1, 2
DONE, PLACED = 1, 2
RC = {"INVALID_PRICE": 15, "INVALID_STOPS": 16, "INVALID_EXPIRATION": 22}
SPECIFIED = 2
ENTRY_OUT = 1
REASON_SL, REASON_TP = 4, 5
STATE_FILLED = 4


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


def test_a_symbol_in_use_stays_in_market_watch(launch):
    t = launch(now=at(WED_NOON))
    with t.client() as c:
        bid, ask = quote(c)
        p = c.order_send(action=DEAL, symbol="EURUSD", volume=0.2, type=BUY)["order"]
        o = c.order_send(action=PENDING, symbol="EURUSD", volume=0.1, type=BUY_LIMIT,
                         price=round(ask - 0.002, 5))["order"]
        assert c.symbol_select("EURUSD", False) == tc.FAILED  # held by the position and the order
        assert c.order_send(action=REMOVE, order=o)["retcode"] == DONE
        assert c.symbol_select("EURUSD", False) == tc.FAILED  # still held by the position
        assert c.order_send(action=DEAL, volume=0.2, type=SELL, position=p)["retcode"] == DONE
        assert c.symbol_select("EURUSD", False) == tc.SUCCESS


@pytest.mark.parametrize("option", [("--trade-allowed=0",), ("--tradeapi-disabled",)])
def test_send_answers_minus_8_with_auto_trading_off(launch, option):
    t = launch(*option, now=at(WED_NOON))
    with t.client() as c:
        assert c.order_send(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY) == tc.AUTO_TRADING_DISABLED
        assert c.order_check(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY)["retcode"] == DONE
        assert c.positions() == []


def test_a_specified_expiration_must_lie_after_now(launch):
    t = launch(now=at(WED_NOON))
    with t.client() as c:
        _, ask = quote(c)
        sent = [c.order_send(action=PENDING, symbol="EURUSD", volume=0.1, type=BUY_LIMIT, price=round(ask - 0.0050, 5),
                             type_time=SPECIFIED, expiration=WED_NOON + ahead)["retcode"] for ahead in (0, 1)]
        assert sent == [RC["INVALID_EXPIRATION"], PLACED]


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
    assert db.read_bytes()[16:18] == b"\x04\x00"  # a new store's page size: 1024
    if not host.WINDOWS:  # there the profile folder's access list keeps others out
        assert stat.S_IMODE(db.stat().st_mode) == 0o600
