"""Handshake, login, readiness, version, terminal and account records, and
how the Terminal answers requests it cannot serve."""

from __future__ import annotations

import pytest

import terminal_client as tc
from host import STOPPED


def test_handshake_version_and_terminal_info_follow_settings(launch):
    terminal = launch("--build", "2366", "--trade-allowed=0", "--tradeapi-disabled",
                      "--max-response-mb", "16")
    with terminal.client() as c:
        reply = c.handshake()
        assert (reply.result, reply.u32()) == (tc.SUCCESS, 2366)
        reply = c.call(tc.VERSION, tc.u32(0))
        version = tc.u32(5) + tc.u32(2366) + tc.wide("14 Jun 2024")
        assert (reply.result, reply.payload) == (tc.SUCCESS, version)
        info = c.terminal_info()
        assert (info["build"], info["trade_allowed"], info["tradeapi_disabled"]) == (2366, 0, 1)
        assert info["maxbars"] == (16 * 2**20 - 12) // 60
        assert c.account_info()["trade_expert"] == 0
        assert c.login(5001001, "nope") == tc.AUTHORIZATION_FAILED
        assert c.terminal_info()["connected"] == 1  # still logged in to its account


@pytest.mark.parametrize("version, text", [(2, "Python"), (3, "python"), (3, "Python3"), (3, ""), (0xFFFFFFFF, "Python")])
def test_handshake_from_another_client_is_incompatible(client, version, text):
    reply = client.handshake(version, text)
    assert (reply.result, reply.payload) == (tc.INCOMPATIBLE_VERSION, b"")


@pytest.mark.parametrize("command, args", [
    (tc.HANDSHAKE, tc.u32(3)),                              # text missing
    (tc.HANDSHAKE, tc.u32(3) + tc.wide("Python") + b"\0"),  # one byte too many
    (tc.HANDSHAKE, tc.u32(3) + tc.u32(7) + "Python".encode("utf-16-le")),  # count beyond the frame
    (tc.HANDSHAKE, tc.u32(3) + tc.u32(0xFFFFFFFF)),
    (tc.VERSION, b""),
    (tc.VERSION, tc.u32(1)),
    (tc.LOGIN, tc.u32(1) + tc.u64(5001001) + tc.wide("demo1001") + tc.wide("")),  # reserved field not 0
    (tc.LOGIN, tc.u32(0) + tc.u64(5001001) + tc.wide("demo1001")),               # server missing
    (tc.READY_POLL, b"\0"),
    (tc.TERMINAL_INFO, tc.u32(0)),
    (tc.ACCOUNT_INFO, b"\0\0"),
    (tc.TICKS_FROM, tc.wide("EURUSD") + tc.i64(0) + tc.i32(10)),                 # flags missing
    (tc.TICKS_RANGE, tc.wide("EURUSD") + tc.i64(0) + tc.i64(1) + tc.i32(3) + b"\0"),
    (tc.RATES_FROM, tc.u32(40) + b"EURUSD"),
    (tc.RATES_RANGE, tc.wide("EURUSD") + tc.i32(60) + tc.i64(0)),
    (tc.RATES_FROM_POS, tc.wide("EURUSD") + tc.i32(60) + tc.i32(0) + tc.i32(10) + tc.i32(0)),
    (tc.TICKS_RANGE, tc.wide("X" * 30) + tc.i64(0) + tc.i64(1) + tc.i32(3)),   # longer than a name
    (tc.SYMBOL_INFO, b"\x01\x02\x03"),
    (tc.SYMBOL_INFO, tc.wide("X" * 30)),                                        # longer than a name
    (tc.SYMBOL_SELECT, tc.wide("EURUSD")),                                       # flag missing
    (tc.SYMBOL_INFO_TICK, tc.wide("EURUSD") + b"\0"),
    (tc.SYMBOLS_TOTAL, b"\0"),
    (tc.SYMBOLS_GET, tc.u32(0)),
    (tc.SYMBOLS_GET_GROUP, tc.wide("*" * 1998)),                                 # longer than a group
    (tc.BOOK_ADD, b""),
    (tc.BOOK_GET, tc.u32(2) + b"EU"),                                            # count beyond the frame
    (tc.ORDER_CALC_MARGIN, tc.u32(0) + tc.wide("EURUSD") + tc.f64(1.0)),         # price missing
    (tc.ORDER_CALC_PROFIT, tc.u32(0) + tc.wide("EURUSD") + tc.f64(1.0) * 4),    # one price too many
])
def test_malformed_arguments_are_invalid_params(client, command, args):
    reply = client.call(command, args)
    assert (reply.result, reply.payload) == (tc.INVALID_PARAMS, b"")
    assert client.ready_state() == 2  # the connection stays in step


@pytest.mark.parametrize("command", [0, 2, 3, 6, 100, 110, 124, 134, 144, 154, 164, 176, 194, 0xFFFFFFFF])
def test_unknown_command_is_unsupported(client, command):
    reply = client.call(command, b"\x01\x02\x03")
    assert (reply.result, reply.payload) == (tc.UNSUPPORTED, b"")
    assert client.ready_state() == 2


@pytest.mark.parametrize("login, password, server, code", [
    *[(login, password, server, tc.AUTHORIZATION_FAILED) for login, password, server in [
        (5001001, "wrong", ""), (5001001, "demo1001", "Quorvane-Elsewhere"), (9999999, "demo1001", ""), (0, "", ""),
        (5001002, "", ""),  # never logged in here: no saved password
        (5001003, "wrong", "")]],
    (5001003, "demo1003", "Quorvane-Demo", tc.UNSUPPORTED),  # needs a one-time password
])
def test_failed_login(terminal, login, password, server, code):
    # A refused login changes nothing, for this client or any other.
    with terminal.client() as c, terminal.client() as other:
        assert c.login(login, password, server) == code
        for client in (c, other):
            assert client.ready_state() == 2
            assert client.account_info()["login"] == 5001001
            assert client.terminal_info()["connected"] == 1


@pytest.mark.parametrize("accounts_dat, terminal_ini", [
    ("[Accounts]\ncurrent=7001001\n", ""),                                     # the last account is gone
    ("", "[Account 5001001]\npassword=demo1001\notp=1\n"),                     # the default needs an OTP
    ("[Accounts]\ncurrent=5001003\n[Account 5001003]\nserver=Quorvane-Demo\n", ""),  # the last needs an OTP
])
def test_start_up_account_that_cannot_log_in(installation, accounts_dat, terminal_ini):
    config = installation.data_folder / "config"
    config.mkdir(parents=True)
    (config / "accounts.dat").write_text(accounts_dat)
    (config / "terminal.ini").write_text(terminal_ini)
    installation.start()
    with installation.client() as c:
        assert c.ready_state() == 3
        assert c.terminal_info()["connected"] == 0
        assert c.call(tc.ACCOUNT_INFO).result == tc.AUTHORIZATION_FAILED
        assert c.call(tc.POSITIONS_TOTAL).result == tc.AUTHORIZATION_FAILED
        assert c.login(5001001, "wrong") == tc.AUTHORIZATION_FAILED
        assert c.ready_state() == 3
        assert c.login(5001002, "demo1002") == tc.SUCCESS
        assert c.ready_state() == 2 and c.account_info()["login"] == 5001002


def test_terminal_info_and_a_login_that_switches_account_and_is_remembered(launch):
    terminal = launch()
    with terminal.client() as c, terminal.client() as other:
        info = c.terminal_info()
        assert info["build"] == 2405
        assert (info["connected"], info["trade_allowed"], info["tradeapi_disabled"]) == (1, 1, 0)
        assert (info["community_account"], info["community_connection"]) == (0, 0)
        assert info["codepage"] == 65001
        assert 0 < info["ping_last"] < 1_000_000
        assert info["maxbars"] == (2048 * 2**20 - 12) // 60
        assert (info["company"], info["name"], info["language"]) == (
            "Belvastor Software", "Quorvane Terminal", "English")
        assert c.account_info()["login"] == 5001001
        assert c.login(5001002, "demo1002", "quorvane-demo") == tc.SUCCESS  # server name in any case
        info = other.account_info()  # every client sees the login
        assert (info["login"], info["currency"], info["margin_mode"]) == (5001002, "EUR", 1)
        # Once logged in, the saved password serves an empty one.
        assert c.login(5001001, "demo1001") == tc.SUCCESS
        assert c.login(5001002) == tc.SUCCESS
    accounts = (terminal.data_folder / "config" / "accounts.dat").read_text()
    assert "current=5001002" in accounts
    assert terminal.stop() == STOPPED
    again = launch()
    with again.client() as c:
        assert c.account_info()["login"] == 5001002
