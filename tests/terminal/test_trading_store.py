"""The trading store as the Terminal opens it: one Terminal per store, no
link followed, no file of several names and no folder others may change,
no damaged store served, the wall clock's accounts apart from those of a set
clock, no store priced before its last activity (a wall clock that is
refuses to start, a set clock sets the store aside), and a store of the
first layout migrated with every record served as before, byte for byte
(data/store_v0.db and .json were made by data/make_store_v0.py of commit
26c2651, run against release 901b73e). Also a store that cannot be written
at run time: trades refused saying why, once on stderr."""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import signal
import sqlite3
import struct
import subprocess
import time
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
    store_folder = first.store_folder()
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


NOW = ["--now", NOW_ARG]


@host.posix_only("symbolic links, hard links and folder modes")
@pytest.mark.parametrize("plant, link, says, clock", [
    ("trading.db", os.symlink, "symbolic link", NOW), ("trading.db-wal", os.symlink, "symbolic link", NOW),
    ("trading.db.lock", os.symlink, "symbolic link", NOW), ("trading.db", os.symlink, "symbolic link", []),
    (None, None, "writable by other users", NOW),
    *[(name, os.link, "has 2 names (hard links)", NOW) for name in ("trading.db", "trading.db.lock", "trading.db-shm")]])
def test_an_unsafe_store_is_refused(installation, tmp_path, plant, link, says, clock):
    data = installation.data_folder
    store = installation.store_folder(clock)
    store.mkdir(parents=True, mode=0o700)
    target = tmp_path / "elsewhere.db"
    target.write_bytes(b"")
    target.chmod(0o644)
    if plant:
        link(target, store / plant)
    else:
        data.chmod(0o770)
    assert installation.run(*clock) == 1
    assert says in installation.stderr() and "not an error" not in installation.stderr()
    # Nothing followed the link, nothing was written.
    assert target.read_bytes() == b"" and target.stat().st_mode & 0o777 == 0o644
    assert sorted(p.name for p in tmp_path.iterdir()) == ["elsewhere.db"]
    assert not (data / "config").exists() and not (data / "origin.txt").exists()


def positions_in(folder: Path) -> int:
    db = sqlite3.connect(folder / "trading.db")
    try:
        return db.execute("SELECT COUNT(*) FROM positions").fetchone()[0]
    finally:
        db.close()


def run_sql(statement: str):
    def damage(db: Path) -> None:
        with contextlib.closing(sqlite3.connect(db)) as con:
            con.execute(statement)
            con.commit()
    return damage


def immutable(path: Path, on: bool) -> bool:
    """Sets or clears the file's immutable flag; False when that cannot be done."""
    return shutil.which("chattr") is not None and subprocess.run(
        ["chattr", "+i" if on else "-i", str(path)], capture_output=True).returncode == 0


def unwritable(path: Path) -> None:
    """Makes a file that cannot be opened for writing, even by root (whom
    modes do not stop; the immutable flag does)."""
    path.chmod(0o400)
    with contextlib.suppress(PermissionError), open(path, "r+b"):
        if not immutable(path, True):
            pytest.skip("no way to make a file unwritable for this user")


def unlink(*names: str):
    def damage(db: Path) -> None:
        for name in names:
            (db.parent / name).unlink()
    return damage


# (killed: the Terminal's -wal and -shm are left, damage(path of trading.db), the refusal after "terminal64: ").
DAMAGE = {
    "cut in half": (False, lambda db: os.truncate(db, db.stat().st_size // 2),
                    "the trading store '{db}' is damaged: database disk image is malformed"),
    "a wrong type": (False, run_sql("UPDATE positions SET volume = 'much' WHERE ticket = 4"),
                     "the trading store '{db}' is damaged: 'volume' of a row of positions (login 5001001, ticket 4) "
                     "holds text, which its field cannot"),
    "no accounts row": (False, run_sql("DELETE FROM accounts"),
                        "the trading store '{db}' is damaged: account 5001001 has rows in positions but none in "
                        "accounts"),
    "a ticket reused": (False, run_sql("UPDATE accounts SET next_ticket = 5"),
                        "the trading store '{db}' is damaged: account 5001001 has next_ticket 5, not above its "
                        "ticket 5 in deals"),
    "emptied": (True, lambda db: os.truncate(db, 0),
                "the trading store '{db}' is empty but its '{db}-wal' remains: the store is damaged, not new"),
    "removed": (True, unlink("trading.db"),
                "the trading store '{db}' is missing but its '{db}-wal' remains: the store is damaged, not new"),
    "removed with its log": (True, unlink("trading.db", "trading.db-wal"),
                             "the trading store '{db}' is missing but its '{db}-shm' remains: the store is damaged, "
                             "not new"),
    # The system's reason follows: a mode's or the immutable flag's.
    "a log not writable": (True, lambda db: unwritable(db.parent / "trading.db-wal"),
                           "'{db}-wal' cannot be opened for writing: "),
}


@host.posix_only("a store's files as POSIX keeps them")
@pytest.mark.parametrize("damage", DAMAGE)
def test_a_damaged_store_is_refused_as_it_is(launch, damage):
    """Damage done while the Terminal is down stops the next start (exit 1,
    one line naming the file and the damage), and nothing is made anew."""
    killed, spoil, says = DAMAGE[damage]
    t = launch()
    with t.client() as c:
        for volume in (0.1, 0.2):  # the opening deposit is deal 1; orders 2, 4, deals 3, 5
            assert c.order_send(action=1, symbol="EURUSD", volume=volume, type=0)["retcode"] == 1
    if killed:
        t.proc.kill()
        t.proc.wait()
    else:
        assert t.stop() == 0
    db = t.store_folder() / "trading.db"
    spoil(db)
    files = {p.name: p.read_bytes() for p in db.parent.glob("trading.db*") if p.name != "trading.db.lock"}
    try:
        assert t.run("--now", NOW_ARG, "--idle-exit-s", "1") == 1
    finally:
        if damage == "a log not writable":
            immutable(Path(f"{db}-wal"), False)
    refusal, expected = t.stderr().splitlines()[-1], "terminal64: " + says.format(db=db)
    assert refusal.startswith(expected) if expected.endswith(": ") else refusal == expected
    assert {p.name: p.read_bytes() for p in db.parent.glob("trading.db*") if p.name != "trading.db.lock"} == files


def test_a_refusal_says_why_not_sqlites_not_an_error(installation):
    """A store of the first layout with a record of the wrong size cannot be
    migrated: the refusal says so, not SQLite's "not an error"."""
    data = installation.store_folder(NOW)
    data.mkdir(parents=True, mode=0o700)
    db = data / "trading.db"
    host.copy_file(DATA / "store_v0.db", db)
    run_sql("UPDATE positions SET record = x'00' WHERE ticket = 5")(db)
    assert installation.run("--now", NOW_ARG, "--idle-exit-s", "1") == 1
    refusal = installation.stderr().splitlines()[-1]
    assert refusal.startswith("terminal64: cannot bring the trading store '") and names_store(refusal, data)
    assert refusal.endswith("' up to date: a record of positions_v0 (login 5001001) has 1 bytes, not 320")


@pytest.mark.parametrize("clock", [("--now", "1710503940"), ("--clock", "2024-03-15T11:59:00Z")])
def test_a_set_clock_before_its_stores_last_activity_sets_the_store_aside(launch, clock):
    t = launch()
    store = t.store_folder()
    aside = t.data_folder / "set-clock.set-aside-20240315T120000Z"
    for name in (aside.name, aside.name + "-2"):
        with t.client() as c:  # at NOW
            assert c.order_send(action=1, symbol="EURUSD", volume=0.1, type=0)["retcode"] == 1
        t.stop()
        t.start()  # the same moment again is no earlier: the same store, the position back
        with t.client() as c:
            assert len(c.positions()) == 1
        t.stop()
        # 11:59, before the store's last activity at 12:00:00.250: that store
        # goes aside whole, under a name of its own, and a new one starts.
        t.start(*clock, now=None)
        with t.client() as c:
            assert c.positions() == [] and c.account_info()["balance"] == 10000.0
        t.stop()
        line = (f"terminal64: the market clock starts at 2024-03-15 11:59:00.000 UTC, before the last activity of the "
                f"trading store '{store / 'trading.db'}' at 2024-03-15 12:00:00.250 UTC: that store is set aside as "
                f"'{t.data_folder / name}' and this run starts a new one\n")
        said = t.stderr()
        if host.WINDOWS:  # the system may spell the folders its own way
            assert names_store(said, store) and f"{name}' and this run starts a new one" in said
        else:
            assert line in said
        assert positions_in(t.data_folder / name) == 1
        t.start()
    # The wall clock's accounts are elsewhere, and were never made.
    assert not (t.data_folder / "trading.db").exists()


def test_a_set_clock_ahead_of_the_wall_clock_leaves_the_wall_clocks_accounts_alone(launch):
    # A day ahead of the wall clock, a trade; then the wall clock again.
    ahead = launch(now=str(int(time.time()) + 86400))
    with ahead.client() as c:
        assert c.account_info()["login"] == 5001001
    ahead.stop()
    t = launch(now=None)
    with t.client() as c:
        assert c.account_info()["balance"] == 10000.0
        deals = c.history_deals()
    assert len(deals) == 1 and deals[0]["time"] <= time.time()  # its own deposit, at the wall clock's time


def test_a_wall_clock_before_its_stores_last_activity_is_refused(launch):
    t = launch(now=None)
    with t.client() as c:
        assert c.account_info()["login"] == 5001001  # its first use is stored at the wall clock's time
    t.stop()
    assert t.store_folder() == t.data_folder
    db = sqlite3.connect(t.data_folder / "trading.db")
    with db:
        db.execute("UPDATE accounts SET evaluated_ms = 4102444799000")  # 2099-12-31 23:59:59 UTC
    db.close()
    assert t.run() == 1
    message = t.stderr()
    assert "before the last activity of the trading store" in message and "2099-12-31 23:59:59.000 UTC" in message
    assert names_store(message, t.data_folder) and "start it at or after that time" in message
    # Refused, not set aside: the wall clock's accounts stay where they are.
    assert sorted(p.name for p in t.data_folder.iterdir() if "set-clock" in p.name) == []
    db = sqlite3.connect(t.data_folder / "trading.db")
    assert db.execute("SELECT evaluated_ms FROM accounts").fetchall() == [(4102444799000,)]
    db.close()


def test_a_walk_closing_600_positions_is_stored_whole(installation):
    """One step reaches 600 take-profits: the walk's commit writes well over
    128 KiB of log, which the file layer takes in one piece or not at all."""
    from test_stepped import HALF_HOUR, RISING, START, T0, clock, install, tick_file

    install(installation.install, "RISING", tick_file(RISING))
    t = installation.start("/portable", "--clock", START, "--step", now=None)
    with t.client() as c:
        for _ in range(600):
            assert c.order_send(action=1, symbol="RISING", volume=0.01, type=0, tp=1.1030)["retcode"] == 1
        result, (now, _) = clock(c, T0 + 7 * HALF_HOUR)
        assert (result, now) == (tc.SUCCESS, T0 + 7 * HALF_HOUR)
    t.stop()
    t.start("/portable", "--clock", "2026-01-05T03:30:00Z", "--step", now=None)
    with t.client() as c:
        closes = {(d["price"], d["profit"], d["reason"]) for d in c.history_deals() if d["entry"] == 1}
        assert (len(c.positions()), len(c.history_deals()), closes) == (0, 1201, {(1.103, 2.9, 5)})
        assert c.account_info()["balance"] == 11_704.0  # 600 x 2.90, less 0.03 commission on 1 200 deals


def copy_history_orders(store: Path, login: int, copies: int) -> bytes:
    """Appends `copies` of the account's first history order, under new
    tickets, to a store of the first layout; the copies' records."""
    db = sqlite3.connect(store)
    with db:
        (next_ticket,) = db.execute("SELECT next_ticket FROM accounts WHERE login = ?", (login,)).fetchone()
        seq, record = db.execute("SELECT MAX(seq), MIN(record) FROM history_orders WHERE login = ?", (login,)).fetchone()
        records = [struct.pack("<Q", next_ticket + i) + record[8:] for i in range(copies)]
        db.executemany("INSERT INTO history_orders VALUES (?, ?, ?, ?)",
                       [(login, next_ticket + i, seq + 1 + i, r) for i, r in enumerate(records)])
        db.execute("UPDATE accounts SET next_ticket = ? WHERE login = ?", (next_ticket + copies, login))
    db.close()
    return b"".join(records)


# With a thousand more rows the migration's commit passes 128 KiB of log.
@pytest.mark.parametrize("copies", [0, 1000])
def test_a_store_of_the_first_layout_is_migrated_with_every_record(installation, copies):
    fixture = json.loads((DATA / "store_v0.json").read_text())
    now = str(fixture["now"])
    data = installation.store_folder(["--now", now])
    data.mkdir(parents=True, mode=0o700)
    host.copy_file(DATA / "store_v0.db", data / "trading.db")
    served_orders = bytes.fromhex(fixture["accounts"]["5001001"]["history_orders"])
    (count,) = struct.unpack_from("<I", served_orders)
    served_orders = struct.pack("<I", count + copies) + served_orders[4:] + copy_history_orders(
        data / "trading.db", 5001001, copies)
    for _ in range(2):  # migrated, then read back in the new layout
        installation.start(now=now)
        with installation.client() as c:
            for login, served in fixture["accounts"].items():
                assert c.login(int(login), PASSWORDS[login]) == tc.SUCCESS
                for name, (command, args) in SERVED.items():
                    expected = served_orders.hex() if (login, name) == ("5001001", "history_orders") else served[name]
                    assert c.call(command, args).payload.hex() == expected, (login, name)
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


@host.posix_only("a file size limit")
def test_a_store_that_cannot_be_written_refuses_trades_saying_why(installation):
    """With its files held under 64 KiB (the log outgrows that), trades are
    refused with STORAGE and the reason, nothing of them done; the fault is
    written to stderr once; reads still answer from the store."""
    import resource

    def limit() -> None:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))

    with open(installation.stderr_path, "ab") as err:
        installation.proc = subprocess.Popen([installation.exe, "--now", NOW_ARG], stdin=subprocess.DEVNULL,
                                             stdout=subprocess.DEVNULL, stderr=err, preexec_fn=limit)
    with tc.TerminalClient.connect(installation.exe, timeout=15) as c:
        for made in range(100):
            r = c.order_send(action=1, symbol="EURUSD", volume=0.01, type=0)
            if r["retcode"] != 1:
                break
        for _ in range(2):
            assert (r["retcode"], r["comment"], r["order"], r["deal"]) == (34, "Not stored: disk I/O error", 0, 0)
            r = c.order_send(action=1, symbol="EURUSD", volume=0.01, type=0)
        assert 0 < made and len(c.positions()) == made
        balance = c.account_info()["balance"]
    db = installation.store_folder(NOW) / "trading.db"
    said = [line for line in installation.stderr().splitlines() if "trading.db" in line]
    assert said == [f"terminal64: the trading store '{db}' cannot be written: disk I/O error"]
    installation.stop()
    installation.start()
    with installation.client() as c:
        assert len(c.positions()) == made and c.account_info()["balance"] == balance
        assert c.order_send(action=1, symbol="EURUSD", volume=0.01, type=0)["order"] == 2 * made + 2
