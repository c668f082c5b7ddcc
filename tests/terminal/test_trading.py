"""The Terminal's paper trading, through raw frames, where the reference
model (test_model.py) does not reach: Market Watch held by trades,
auto-trading off, an expiration at the very clock, an account in a margin
call closing part of a position, and the database and its lists."""

from __future__ import annotations

import stat

import host
import pytest

import terminal_client as tc
from model_terms import BUY, BUY_LIMIT, DEAL, ENTRY_IN, ENTRY_OUT, PENDING, REMOVE, SELL, SPECIFIED
from test_stepped import START, T0, clock, install, quotes, tick_file

WED_NOON = 1710331200  # Wednesday 2024-03-13 12:00 UTC: forex trades
DONE, PLACED, INVALID_EXPIRATION = 1, 2, 22
HOUR = 3_600_000


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


# Only a deal that adds margin is held to the free margin: an account in a
# margin call (level between the stop-out's 50 % and 100 %) may still close
# part of a position. 8 lots of MINE (EURUSD's terms) bought at 1.1001 on a
# USD account at 1:100 hold 8 × 1 100.10 = 8 800.80 of margin and pay 20.00;
# at 01:00 the bid is 1.0970: equity 10 000 − 20 − 8 × 310 = 7 500.00, level
# 85.22 %. Selling 1 lot there makes −310.00 and pays 2.50; the 7 lots left
# hold 7 700.70 of margin against 7 497.50 of equity: free margin −203.20.
@pytest.mark.parametrize("login, by_ticket", [
    (5001001, True),  # hedging: the position's ticket names what is closed
    (7001011, False),  # netting: a sell of the symbol reduces its one position
], ids=["hedging", "netting"])
def test_an_account_in_a_margin_call_can_close_part_of_a_position(installation, login, by_ticket):
    install(installation.install, "MINE", tick_file(quotes((0, 1.1, 1.1001), (HOUR, 1.097, 1.0971))))
    config = installation.install / "config"
    config.mkdir(exist_ok=True)
    (config / "terminal.ini").write_text("[Account 7001011]\npassword=call\nserver=Quorvane-Demo\ncurrency=USD\n"
                                         "leverage=100\nbalance=10000\nmargin_mode=netting\n")
    t = installation.start("/portable", "--clock", START, "--step", now=None)
    with t.client() as c:
        assert c.login(login, "demo1001" if login == 5001001 else "call") == tc.SUCCESS
        opened = c.order_send(action=DEAL, symbol="MINE", volume=8.0, type=BUY)
        assert (opened["retcode"], opened["volume"], opened["price"]) == (DONE, 8.0, 1.1001)
        assert clock(c, T0 + HOUR)[0] == tc.SUCCESS
        figures = lambda f: (f["balance"], f["equity"], f["margin"], f["margin_free"])  # noqa: E731
        account = c.account_info()
        assert figures(account) == (9980.0, 7500.0, 8800.8, -1300.8) and round(account["margin_level"], 2) == 85.22
        close = dict(action=DEAL, symbol="MINE", volume=1.0, type=SELL, position=opened["order"] if by_ticket else 0)
        check = c.order_check(**close)
        assert (check["retcode"], *figures(check)) == (DONE, 9667.5, 7497.5, 7700.7, -203.2)
        sent = c.order_send(**close)
        assert (sent["retcode"], sent["volume"], sent["price"]) == (DONE, 1.0, 1.097)
        deals = [(d["ticket"], d["entry"], d["volume"], d["price"], d["profit"], d["commission"])
                 for d in c.history_deals() if d["symbol"] == "MINE"]
        assert deals == [(opened["deal"], ENTRY_IN, 8.0, 1.1001, 0.0, -20.0),
                         (sent["deal"], ENTRY_OUT, 1.0, 1.097, -310.0, -2.5)]
        assert [(p["volume"], p["price_open"]) for p in c.positions()] == [(7.0, 1.1001)]
        assert figures(c.account_info()) == (9667.5, 7497.5, 7700.7, -203.2)


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
    db = t.store_folder() / "trading.db"
    assert db.read_bytes()[16:18] == b"\x04\x00"  # a new store's page size: 1024
    if not host.WINDOWS:  # there the profile folder's access list keeps others out
        assert stat.S_IMODE(db.stat().st_mode) == 0o600
