"""Makes the migration fixture: store_v0.db, a trading store written by the
release whose store kept each record as one blob (commit 901b73e), and
store_v0.json, the records that release served from it, per account.

    python tests/terminal/data/make_store_v0.py /path/to/that/terminal64

It trades on three accounts at a frozen clock: positions (one with a lone
surrogate in its comment and the largest magic), a partial close, a close-by,
a reversal on the netting account, pending orders and a cancelled one, so
history orders are not in ticket order.
"""

from __future__ import annotations

import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent))

import terminal_client as tc  # noqa: E402

NOW = 1710331200  # Wednesday 2024-03-13 12:00 UTC
DEAL, PENDING, REMOVE, CLOSE_BY = 1, 2, 5, 6
BUY, SELL, BUY_LIMIT, SELL_STOP_LIMIT = 0, 1, 2, 7
COMMANDS = {"positions": (tc.POSITIONS_GET, b""), "orders": (tc.ORDERS_GET, b""),
            "history_orders": (tc.HISTORY_ORDERS_RANGE, tc.i64(0) + tc.i64(2**62)),
            "deals": (tc.HISTORY_DEALS_RANGE, tc.i64(0) + tc.i64(2**62))}


def served(c: tc.TerminalClient) -> dict:
    out = {name: c.call(command, args).payload.hex() for name, (command, args) in COMMANDS.items()}
    out["balance"] = c.account_info()["balance"]
    return out


def trade_hedging(c: tc.TerminalClient) -> None:
    _, tick = c.symbol_info_tick("EURUSD")
    bid, ask = float(tick["bid"]), float(tick["ask"])
    send = c.order_send
    send(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY, magic=2**64 - 1, comment="a\udc80b",
         sl=round(bid - 0.01, 5), tp=round(bid + 0.01, 5))
    limit = send(action=PENDING, symbol="EURUSD", volume=0.1, type=BUY_LIMIT, price=round(ask - 0.02, 5))["order"]
    short = send(action=DEAL, symbol="USDJPY", volume=0.2, type=SELL, comment="short")["order"]
    send(action=DEAL, symbol="USDJPY", volume=0.1, type=BUY, position=short)
    a = send(action=DEAL, symbol="EURUSD", volume=0.1, type=BUY)["order"]
    b = send(action=DEAL, symbol="EURUSD", volume=0.05, type=SELL)["order"]
    send(action=CLOSE_BY, position=a, position_by=b)
    send(action=REMOVE, order=limit)
    _, gbp = c.symbol_info_tick("GBPUSD")
    gbid = float(gbp["bid"])
    send(action=PENDING, symbol="GBPUSD", volume=0.3, type=SELL_STOP_LIMIT, price=round(gbid - 0.005, 5),
         stoplimit=round(gbid - 0.004, 5), type_time=2, expiration=NOW + 7 * 86400, magic=7)
    gold = send(action=DEAL, symbol="XAUUSD", volume=0.01, type=BUY)["order"]
    send(action=DEAL, symbol="XAUUSD", volume=0.01, type=SELL, position=gold)


def main(binary: str) -> None:
    root = Path(tempfile.mkdtemp(prefix="qvn-v0-"))
    (root / "run").mkdir(mode=0o700)
    os.environ["XDG_RUNTIME_DIR"] = str(root / "run")
    os.environ["XDG_DATA_HOME"] = str(root / "data")
    install = root / "inst"
    install.mkdir()
    exe = str(install / "terminal64")
    shutil.copy(binary, exe)
    proc = subprocess.Popen([exe, "--now", str(NOW)], stderr=subprocess.DEVNULL)
    expected = {}
    try:
        with tc.TerminalClient.connect(exe) as c:
            c.handshake()
            trade_hedging(c)
            expected["5001001"] = served(c)
            assert c.login(5001002, "demo1002") == tc.SUCCESS
            c.order_send(action=DEAL, symbol="EURUSD", volume=0.2, type=BUY)
            c.order_send(action=DEAL, symbol="EURUSD", volume=0.5, type=SELL)
            expected["5001002"] = served(c)
            assert c.login(5001004, "demo1004") == tc.SUCCESS
            c.order_send(action=DEAL, symbol="USDJPY", volume=0.1, type=BUY)
            expected["5001004"] = served(c)
    finally:
        proc.terminate()
        proc.wait()
    store = root / "data" / "Belvastor" / "Terminal" / tc.data_folder_id(exe) / "trading.db"
    db = sqlite3.connect(store)  # smallest pages, so the fixture stays small
    db.executescript("PRAGMA journal_mode=DELETE; PRAGMA page_size=512; VACUUM; PRAGMA journal_mode=WAL;")
    db.close()
    shutil.copy(store, HERE / "store_v0.db")
    (HERE / "store_v0.json").write_text(json.dumps({"now": NOW, "accounts": expected}, indent=1) + "\n")
    shutil.rmtree(root)


if __name__ == "__main__":
    main(sys.argv[1])
