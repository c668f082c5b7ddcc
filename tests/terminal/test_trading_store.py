"""The trading store as the Terminal opens it: one Terminal per store, no
link followed and no folder others may change, no clock earlier than the
store's last activity, and a store of the first layout migrated with every
record served as before, byte for byte (data/store_v0.db and .json were
made by data/make_store_v0.py of commit 26c2651, run against release 901b73e)."""

from __future__ import annotations

import json
import os
import sqlite3
import subprocess
from pathlib import Path

import host
import pytest

import terminal_client as tc
from terminal_times import NOW_ARG

DATA = Path(__file__).resolve().parent / "data"
PASSWORDS = {"5001001": "demo1001", "5001002": "demo1002", "5001004": "demo1004"}
SERVED = {"positions": (tc.POSITIONS_GET, b""), "orders": (tc.ORDERS_GET, b""),
          "history_orders": (tc.HISTORY_ORDERS_RANGE, tc.i64(0) + tc.i64(2**62)),
          "deals": (tc.HISTORY_DEALS_RANGE, tc.i64(0) + tc.i64(2**62))}


def names_store(message: str, folder: Path) -> bool:
    """Whether a message names the store in `folder` (on Windows the system
    may spell the folder its own way)."""
    return ("trading.db" in message) if host.WINDOWS else (str(folder / "trading.db") in message)


def snapshot(*folders: Path) -> dict:
    # On Windows the running Terminal holds its store's lock file unshared:
    # of that file, its time and size.
    def content(p: Path) -> bytes | int:
        return p.stat().st_size if host.WINDOWS and p.name == "trading.db.lock" else p.read_bytes()

    return {p: (p.stat().st_mtime_ns, content(p)) for f in folders for p in f.rglob("*") if p.is_file()}


@pytest.mark.parametrize("portable", [False, True])
def test_a_second_terminal_on_one_store_refuses_touching_nothing(launch, private_folders, portable):
    args = ("/portable",) if portable else ()
    first = launch(*args)
    store_folder = first.install if portable else first.data_folder
    with first.client() as c:
        assert c.order_send(action=1, symbol="EURUSD", volume=0.1, type=0)["retcode"] == 1
    before = snapshot(first.data_folder, first.install / "config") if portable else snapshot(first.data_folder)
    # The same executable with another runtime folder: its own pid file,
    # the same store.
    other = private_folders / "run2"
    other.mkdir(mode=0o700)
    env = dict(os.environ, XDG_RUNTIME_DIR=str(other), TEMP=str(other), TMP=str(other))
    second = subprocess.run([first.exe, *args, "--now", NOW_ARG], env=env, capture_output=True, timeout=30)
    message = second.stderr.decode(errors="replace")
    assert second.returncode == 1, message
    assert "in use by another Terminal" in message and names_store(message, store_folder)
    if not host.WINDOWS:  # there the lock file cannot be read while it is held
        assert f"(process {first.proc.pid})" in message
    assert (snapshot(first.data_folder, first.install / "config") if portable else snapshot(first.data_folder)) == before
    with first.client() as c:
        assert len(c.positions()) == 1


@host.posix_only("symbolic links and folder modes")
@pytest.mark.parametrize("plant, says", [("trading.db", "symbolic link"), ("trading.db-wal", "symbolic link"),
                                         ("trading.db.lock", "symbolic link"), (None, "writable by other users")])
def test_an_unsafe_store_is_refused(installation, tmp_path, plant, says):
    data = installation.data_folder
    data.mkdir(parents=True, mode=0o700)
    target = tmp_path / "elsewhere.db"
    target.write_bytes(b"")
    target.chmod(0o644)
    if plant:
        (data / plant).symlink_to(target)
    else:
        data.chmod(0o770)
    assert installation.run("--now", NOW_ARG) == 1
    assert says in installation.stderr()
    # Nothing followed the link, nothing was written.
    assert target.read_bytes() == b"" and target.stat().st_mode & 0o777 == 0o644
    assert sorted(p.name for p in tmp_path.iterdir()) == ["elsewhere.db"]
    assert not (data / "config").exists() and not (data / "origin.txt").exists()


@pytest.mark.parametrize("clock", [("--now", "1710503940"), ("--clock", "2024-03-15T11:59:00Z")])
def test_a_clock_before_the_stores_last_activity_is_refused(launch, clock):
    t = launch()
    with t.client() as c:
        assert c.order_send(action=1, symbol="EURUSD", volume=0.1, type=0)["retcode"] == 1
    t.stop()
    assert t.run(*clock) == 1
    message = t.stderr()
    assert "2024-03-15 11:59:00.000 UTC" in message and "2024-03-15 12:00:00.250 UTC" in message
    assert names_store(message, t.data_folder)
    t.start()  # the same moment again is no earlier
    with t.client() as c:
        assert len(c.positions()) == 1


def test_a_store_of_the_first_layout_is_migrated_with_every_record(installation):
    fixture = json.loads((DATA / "store_v0.json").read_text())
    now = str(fixture["now"])
    data = installation.data_folder
    data.mkdir(parents=True, mode=0o700)
    host.copy_file(DATA / "store_v0.db", data / "trading.db")
    for _ in range(2):  # migrated, then read back in the new layout
        installation.start(now=now)
        with installation.client() as c:
            for login, served in fixture["accounts"].items():
                assert c.login(int(login), PASSWORDS[login]) == tc.SUCCESS
                for name, (command, args) in SERVED.items():
                    assert c.call(command, args).payload.hex() == served[name], (login, name)
                assert c.account_info()["balance"] == served["balance"]
        installation.stop()
    db = sqlite3.connect(data / "trading.db")
    try:
        assert db.execute("PRAGMA user_version").fetchone() == (1,)
        assert db.execute("PRAGMA page_size").fetchone() == (512,)  # an existing store keeps its own
        first = db.execute("SELECT symbol, volume, comment, typeof(magic) FROM positions ORDER BY login, ticket")
        assert first.fetchone() == ("EURUSD", 0.1, "a\udc80b".encode("utf-16-le", "surrogatepass"), "blob")
        assert db.execute("SELECT COUNT(*) FROM deals WHERE entry = 3").fetchone() == (2,)
        (next_ticket,) = db.execute("SELECT next_ticket FROM accounts WHERE login = 5001001").fetchone()
    finally:
        db.close()
    # The ticket sequence carries on where the old store left it.
    installation.start(now=now)
    with installation.client() as c:
        assert c.login(5001001, PASSWORDS["5001001"]) == tc.SUCCESS
        assert c.order_send(action=1, symbol="EURUSD", volume=0.1, type=0)["order"] == next_ticket
