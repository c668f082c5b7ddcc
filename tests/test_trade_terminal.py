"""Trading end to end: the module against the bundled Terminal, with the
Terminal's clock fixed so that its quotes hold still. A paper trade is
opened, read back by every selector, closed, and found again in the
history, with the balance following the deals."""

NOW = 1_768_478_400  # 2026-01-15 12:00 UTC, a Thursday: forex is open
DEAL, BUY, SELL = 1, 0, 1
DONE = 1
SUCCESS = (1, "Success")


def money(deals):
    return round(sum(d.profit + d.commission + d.swap for d in deals), 2)


def test_open_read_close_and_find_in_history(bundled, core):
    bundled("--now", str(NOW))
    balance = core.account_info().balance
    request = {"action": DEAL, "symbol": "EURUSD", "volume": 0.1, "type": BUY, "comment": "qvn test"}

    check = core.order_check(request)
    assert core.last_error() == SUCCESS and check.request.symbol == "EURUSD" and check.margin > 0
    opened = core.order_send(request)
    assert opened.retcode == DONE, opened
    assert opened.request._asdict()["comment"] == "qvn test"

    # Read back through every selector.
    assert core.positions_total() == 1
    (position,) = core.positions_get()
    assert (position.symbol, position.volume, position.type, position.comment) == ("EURUSD", 0.1, BUY, "qvn test")
    for selected in (core.positions_get(ticket=position.ticket), core.positions_get(symbol="EURUSD"),
                     core.positions_get(group="*USD,!GBP*"), core.positions_get(ticket=position.ticket, group="X")):
        assert selected == (position,)
    assert core.positions_get(group="*,!EUR*") == ()
    assert core.positions_get(symbol="GBPUSD") == ()
    assert core.positions_get(ticket=position.ticket + 1000) == ()
    assert core.last_error() == SUCCESS

    closed = core.order_send(action=DEAL, symbol="EURUSD", volume=0.1, type=SELL, position=position.ticket)
    assert closed.retcode == DONE, closed
    assert core.positions_total() == 0 and core.positions_get() == ()

    # The history by position, ticket, period and group.
    deals = core.history_deals_get(position=position.identifier)
    assert [d.ticket for d in deals] == [opened.deal, closed.deal]
    assert [d.type for d in deals] == [BUY, SELL]
    assert core.history_deals_get(ticket=closed.deal) == deals[1:]
    period = core.history_deals_get(0, NOW + 1)
    assert core.history_deals_total(0, NOW + 1) == len(period)
    assert set(deals) <= set(period)
    assert core.history_deals_get(0, NOW + 1, group="EUR*") == deals

    orders = core.history_orders_get(position=position.identifier)
    assert [o.ticket for o in orders] == [opened.order, closed.order]
    assert core.history_orders_get(ticket=opened.order) == orders[:1]
    assert core.history_orders_total(0, NOW + 1) == len(core.history_orders_get(0, NOW + 1)) == 2
    assert core.history_orders_get(0, NOW + 1, group="!EUR*") == ()

    # The balance is the opening balance plus what the two deals made.
    assert round(core.account_info().balance, 2) == round(balance + money(deals), 2)
    assert round(core.account_info().balance, 2) == money(period)
    assert core.last_error() == SUCCESS
