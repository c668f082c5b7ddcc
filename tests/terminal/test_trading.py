"""The Terminal's paper trading, through raw frames, where the reference
model (test_model.py) does not reach: Market Watch held by trades,
auto-trading off, an expiration at the very clock, and the database and its
lists."""

from __future__ import annotations

import stat

import host
import pytest

import terminal_client as tc
from model_terms import BUY, BUY_LIMIT, DEAL, PENDING, REMOVE, SELL, SPECIFIED

WED_NOON = 1710331200  # Wednesday 2024-03-13 12:00 UTC: forex trades
DONE, PLACED, INVALID_EXPIRATION = 1, 2, 22


def test_a_symbol_in_use_stays_in_market_watch(launch):
    t = launch(now=str(WED_NOON))
    with t.client() as c:
        ask = c.symbol_info_tick("EURUSD")[1]["ask"]
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
    t = launch(*option, now=str(WED_NOON))
    with t.client() as c:
        assert c.order_send(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY) == tc.AUTO_TRADING_DISABLED
        assert c.order_check(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY)["retcode"] == DONE
        assert c.positions() == []


def test_a_specified_expiration_must_lie_after_now(launch):
    t = launch(now=str(WED_NOON))
    with t.client() as c:
        ask = c.symbol_info_tick("EURUSD")[1]["ask"]
        sent = [c.order_send(action=PENDING, symbol="EURUSD", volume=0.1, type=BUY_LIMIT, price=round(ask - 0.0050, 5),
                             type_time=SPECIFIED, expiration=WED_NOON + ahead)["retcode"] for ahead in (0, 1)]
        assert sent == [INVALID_EXPIRATION, PLACED]


def test_database_is_private_and_lists_are_well_formed(launch):
    t = launch(now=str(WED_NOON))
    with t.client() as c:
        c.order_send(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY)
        assert c.call(tc.POSITIONS_TOTAL).u32() == 1 and c.call(tc.ORDERS_TOTAL).u32() == 0
        later = tc.i64(WED_NOON * 2)
        assert c.call(tc.HISTORY_DEALS_TOTAL, tc.i64(0) + later).u32() == 2
        assert c.call(tc.HISTORY_DEALS_TOTAL, tc.i64(WED_NOON + 1) + later).u32() == 0
        assert c.status(tc.POSITION_BY_TICKET, tc.u64(99999)) == tc.NOT_FOUND
        assert c.status(tc.POSITION_BY_TICKET, tc.u32(1)) == tc.INVALID_PARAMS
        assert c.status(tc.ORDER_SEND, b"\0" * 231) == tc.INVALID_PARAMS
        assert c.status(tc.POSITIONS_BY_SYMBOL, tc.wide("X" * 30)) == tc.INVALID_PARAMS
    db = t.data_folder / "trading.db"
    assert db.read_bytes()[16:18] == b"\x04\x00"  # a new store's page size: 1024
    if not host.WINDOWS:  # there the profile folder's access list keeps others out
        assert stat.S_IMODE(db.stat().st_mode) == 0o600
