"""Trading end to end: quorvane.trade and the module against the bundled
Terminal with its clock frozen: the requests it builds, what it keeps, its
errors, and the trades found again in the history."""

from __future__ import annotations

import pytest
from bundled import NOW

from quorvane import _core as core_module, trade
from quorvane.backtest._tickdata import CATALOGUE

EURUSD_BID, EURUSD_ASK = 1.0476, 1.04767


def test_open_modify_close(frozen, core):
    balance = core.account_info().balance
    sent = trade.buy("EURUSD", 0.1, sl=1.0, tp=1.3, comment="t", magic=7, check=True)
    assert (sent.retcode, sent.price, sent.volume) == (1, EURUSD_ASK, 0.1)
    ticket = sent.order
    assert trade.modify(ticket, sl=1.01).retcode == 1
    (position,) = core.positions_get(ticket=ticket)
    assert (position.sl, position.tp, position.magic, position.comment) == (1.01, 1.3, 7, "t")  # tp kept
    assert trade.modify(position, tp=0.0).retcode == 1   # a stale record: the sl is read afresh
    assert core.positions_get(ticket=ticket)[0][11:13] == (1.01, 0.0)
    part = trade.close(position, 0.03)
    assert (part.retcode, part.volume, part.price, part.request.type) == (1, 0.03, EURUSD_BID, 1)
    rest = trade.close(position)  # the record says 0.1; 0.07 is left
    assert (rest.retcode, rest.volume) == (1, 0.07)
    assert core.positions_get() == ()
    # The history by position, period and group; the balance follows the deals.
    deals = core.history_deals_get(position=position.identifier)
    assert [(d.order, d.type, d.volume) for d in deals] == [(ticket, 0, 0.1), (part.order, 1, 0.03),
                                                           (rest.order, 1, 0.07)]
    assert core.history_deals_get(0, NOW + 1, group="EUR*") == deals
    assert [o.ticket for o in core.history_orders_get(position=position.identifier)] == [
        ticket, part.order, rest.order]
    assert core.history_orders_total(0, NOW + 1) == 3
    made = sum(d.profit + d.commission + d.swap for d in deals)
    assert round(core.account_info().balance, 2) == round(balance + made, 2)
    again = trade.close(ticket)
    assert (again.retcode, again.comment) == (29, "Position already closed")
    with pytest.raises(trade.TradeError, match=r"^change of the stops of position \d+ refused: retcode 29 "
                                               r"POSITION_CLOSED \(Position already closed\)$") as caught:
        trade.modify(ticket, sl=1.0, check=True)
    assert (caught.value.retcode, caught.value.comment, caught.value.result.request.action) == (
        29, "Position already closed", 3)
    with pytest.raises(trade.TradeError, match=r"retcode 14 INVALID_VOLUME \(Invalid volume\)"):
        trade.sell("EURUSD", 0.001, check=True)
    short = trade.sell("EURUSD", 0.2, sl=1.1)
    assert (short.retcode, short.price, core.positions_get()[0].type) == (1, EURUSD_BID, 1)
    assert trade.close(short.order).request.type == 0    # a sell is closed by a buy


def test_grid_and_sizes(frozen, core):
    assert trade.round_price("EURUSD", 1.085004) == 1.085
    assert trade.round_price(core.symbol_info("US500"), 4800.13) == 4800.25  # a tick of 0.25
    assert [trade.round_volume("EURUSD", v) for v in (0.123, 0.0001, 1e6, 0.3)] == [0.12, 0.01, 100.0, 0.3]
    # 50 pips of EURUSD cost 500 USD a lot on a USD account.
    assert trade.volume_for_risk("EURUSD", 100.0, 0.005) == 0.2
    assert trade.volume_for_risk("EURUSD", 1.0, 0.05) == 0.0
    with pytest.raises(ValueError, match="positive finite"):
        trade.volume_for_risk("EURUSD", 100.0, 0.0)
    with pytest.raises(LookupError, match=r"symbol_info\('NOPE'\) failed: \(-4, "):
        trade.round_price("NOPE", 1.0)
    # The importer's list of catalogue names is the Terminal's.
    assert {s.name for s in core.symbols_get()} == CATALOGUE


def test_not_connected_raises_only_when_asked(core):
    assert trade.close(5) is None
    with pytest.raises(trade.TradeError, match=r"close of position 5 failed: last_error\(\) is \(-10004, "):
        trade.close(5, check=True)


def symbol(**fields):
    """A SymbolInfo like EURUSD's on a USD account (a tick of 0.00001 worth
    1.0 a lot, volumes 0.01 to 100 in steps of 0.01) but for `fields`."""
    eurusd = dict(name="EURUSD", point=1e-5, trade_tick_size=1e-5, trade_tick_value_loss=1.0, volume_min=0.01,
                  volume_max=100.0, volume_step=0.01)
    values = {**eurusd, **fields}
    return core_module.SymbolInfo(tuple(values.get(n, 0) for n in core_module.SymbolInfo.__match_args__))


@pytest.mark.parametrize("info, risk, sl, volume", [
    (symbol(), 100.0, 0.005, 0.2),                       # 500 a lot over 50 pips
    (symbol(), 29.0, 0.001, 0.29),                       # 29 / 100 / 0.01 is 28.999999999999996 steps
    (symbol(volume_step=0.1, volume_min=0.1), 21.0, 0.0007, 0.3),  # 2.9999999999999996 steps
    (symbol(), 1.0, 0.001, 0.01),                        # exactly volume_min
    (symbol(volume_min=0.1), 10.0, 0.001, 0.1),           # exactly volume_min, ten steps
    (symbol(volume_min=0.1), 9.99, 0.001, 0.0),           # a step short of it
    (symbol(), 1e9, 0.001, 100.0),                       # volume_max
])
def test_volume_for_risk(info, risk, sl, volume):
    assert trade.volume_for_risk(info, risk, sl) == volume
