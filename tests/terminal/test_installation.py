"""The Terminal's installation side: data folders, settings files, one copy
per installation, clean shutdown and start-up options."""

from __future__ import annotations

import configparser
import signal
import subprocess
import sys
import time
from pathlib import Path

import host
import pytest

import terminal_client as tc
from host import STOPPED


def write_settings(installation, text: str) -> Path:
    config = installation.data_folder / "config"
    config.mkdir(parents=True)
    (config / "terminal.ini").write_text(text)
    return config / "terminal.ini"


def test_data_folder_layout(launch):
    # Where the data folder is, what origin.txt holds and where a portable
    # copy keeps its settings: tests/test_terminal_e2e.py.
    portable = launch("/portable")
    data, install = portable.data_folder, portable.install
    assert not (data / "config").exists() and not (data / "QSL").exists()
    assert (install / "config" / "accounts.dat").is_file() and (install / "QSL").is_dir()
    # Leaving portable mode unmarks the folder.
    assert portable.stop() == STOPPED
    terminal = launch()
    assert not (data / "portable.txt").exists() and (data / "QSL").is_dir()
    with terminal.client() as c:
        assert c.terminal_info()["commondata_path"] == str(terminal.terminals_folder / "Common")
    assert (terminal.terminals_folder / "Common").is_dir()


def test_settings_file_is_read_and_rewritten(installation):
    ini = write_settings(
        installation, "[Terminal]\nbuild = 2399\nextra_symbols=3\nmy_note=keep me\n"
        "[Account 7001001]\npassword=s3cret\nserver=Quorvane-Live\ncurrency=GBP\nleverage=30\n"
        "balance=2500.50\nname=Jo Example\ntrade_mode=real\nmargin_mode=netting\n"
    )
    installation.start("--ready-delay-ms", "3600000", "--build", "2501")
    with installation.client() as c:
        assert c.handshake().u32() == 2501  # the command line beats the file
        assert c.symbols_total()[1] == 25 + 3
        assert c.ready_state() == 1  # commands are served while it starts up
        assert c.login(7001001, "s3cret", "Quorvane-Live") == tc.SUCCESS
        info = c.account_info()
    got = [info[k] for k in ("login", "currency", "leverage", "balance", "name", "server")]
    assert got == [7001001, "GBP", 30, 2500.5, "Jo Example", "Quorvane-Live"]
    assert (info["trade_mode"], info["margin_mode"]) == (3, 1)
    assert "[Account 7001001]" in ini.read_text()  # the section survives the rewrite
    parsed = configparser.ConfigParser(interpolation=None)
    parsed.read_string(ini.read_text())
    values = parsed["Terminal"]
    assert values["my_note"] == "keep me"
    # Every setting is spelled out; options given on the command line are not
    # written back.
    assert {"ready_delay_ms", "idle_exit_s", "history_start", "max_response_mb", "extra_symbols"} <= set(values)
    assert (values["build"], values["ready_delay_ms"]) == ("2399", "0")
    assert ini.read_text().startswith(";")
    # A key the Terminal does not know is kept, and named.
    assert ("terminal64: terminal.ini: 'my_note' in [Terminal] is not a setting of this release: kept in the file, "
            "not used\n") in installation.stderr()


def test_second_copy_exits_at_once_touching_nothing(terminal, installation):
    files = [p for p in terminal.data_folder.rglob("*") if p.is_file()]
    before = {p: p.stat().st_mtime_ns for p in files}
    second = installation  # the same executable path as `terminal`
    assert second.exe == terminal.exe
    assert second.run() == 0
    assert {p: p.stat().st_mtime_ns for p in files} == before
    with terminal.client() as c:
        assert c.ready_state() == 2


@host.posix_only("stop signals")
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_stop_signal_cleans_up(launch, sig):
    terminal = launch()
    idle = terminal.client()  # a connected client must not hold up the exit
    # A client that asked for 1.2 GB and reads none of it keeps its session
    # blocked in a write.
    busy = terminal.client()
    busy.send_raw(tc.frame(tc.TICKS_FROM, tc.wide("BTCUSD") + tc.i64(0) + tc.i32(20_000_000) + tc.i32(3)))
    busy.recv_exact(16)
    assert terminal.endpoint.exists() and terminal.pid_file.exists()
    assert terminal.stop(sig) == 0
    assert not terminal.endpoint.exists()
    assert not terminal.pid_file.exists()
    idle.close()
    busy.close()
    # The installation starts again as if nothing happened.
    launch()


def test_idle_exit(launch):
    terminal = launch("--idle-exit-s", "1")
    with terminal.client() as c:
        time.sleep(2.5)  # longer than the idle limit, with a client connected
        assert terminal.running()
        assert c.ready_state() == 2
    assert terminal.proc.wait(timeout=30) == 0
    assert not terminal.endpoint.exists()


def test_owner_pid(launch, installation):
    # A Terminal started with --owner-pid ends cleanly with that process,
    # however it ends, and refuses to start without it.
    owner = host.popen([sys.executable, "-c", "import sys; sys.stdin.read()"], stdin=subprocess.PIPE)
    try:
        terminal = launch("--owner-pid", str(owner.pid))
        with terminal.client() as c:
            assert c.ready_state() == 2
            owner.kill()
            owner.wait(30)
            assert terminal.proc.wait(timeout=30) == 0
        assert not terminal.endpoint.exists() and not terminal.pid_file.exists()
    finally:
        owner.kill()
        owner.wait(30)
    assert installation.run("--owner-pid", str(owner.pid)) == 1
    assert f"terminal64: the owner process {owner.pid} is not running" in installation.stderr()


def test_no_endpoint(launch):
    terminal = launch("--no-endpoint", wait=False)
    ini = terminal.data_folder / "config" / "terminal.ini"
    deadline = time.monotonic() + 15
    while not ini.exists():
        assert time.monotonic() < deadline and terminal.running(), terminal.stderr()
        time.sleep(0.02)
    assert terminal.running()
    assert not terminal.endpoint.exists()
    assert terminal.stop() == STOPPED


@pytest.mark.parametrize("args, says", [
    ("--build 24o5", "malformed value '24o5' for build (expected a whole number from 1 to 4294967295)"),
    ("--build 0", "malformed value '0' for build"), ("--build", "option --build needs a value"),
    ("--ready-delay-ms -5", "malformed value '-5' for ready_delay_ms"),
    ("--idle-exit-s 1e3", "malformed value '1e3' for idle_exit_s"),
    ("--owner-pid 0", "malformed value '0' for owner_pid (expected a whole number from 1 to 2147483647)"),
    ("--now yesterday", "malformed value 'yesterday' for now"),
    ("--now 1710504000.1234", "malformed value '1710504000.1234' for now"),
    ("--history-start 2019-13-01", "malformed value '2019-13-01' for history_start"),
    ("--history-start 1999-12-31", "value '1999-12-31' for history_start is out of range (from 2000-01-01 to "
                                   "2099-12-31)"),
    ("--clock 1999-12-31T23:59:59Z", "value '1999-12-31T23:59:59Z' for clock is out of range (from "
                                     "2000-01-01T00:00:00Z to 2099-12-31T23:59:59.999Z)"),
    ("--clock 946684799.999", "value '946684799.999' for clock is out of range"),
    ("--clock=2100-01-01T00:00:00Z --speed 60", "value '2100-01-01T00:00:00Z' for clock is out of range"),
    ("--clock 2024-02-30T00:00:00Z", "malformed value '2024-02-30T00:00:00Z' for clock"),
    ("--max-response-mb 4096", "malformed value '4096' for max_response_mb"),
    ("--extra-symbols 100001", "malformed value '100001' for extra_symbols"),
    ("--no-endpoint=maybe", "malformed value 'maybe' for no_endpoint (expected 0 or 1)"),
    ("--max-clients 0", "malformed value '0' for max_clients"),
    ("--frame-timeout-ms 9", "malformed value '9' for frame_timeout_ms"),
    ("--handshake-timeout-ms 1h", "malformed value '1h' for handshake_timeout_ms"),
    ("--store-sync=2", "malformed value '2' for store_sync (expected 0 or 1)"),
    ("--store-memory=2", "malformed value '2' for store_memory (expected 0 or 1)"),
    # Unknown options and arguments: the Terminal would run on settings
    # other than those asked for.
    ("--clock 2026-01-05T08:00:00Z --sped 60", "unknown option --sped"),
    ("--speed 60 --colour=blue", "unknown option --colour"),
    ("portable", "unexpected argument 'portable'"),
    ("-x", "unexpected argument '-x'"),
    ("--no-endpoint 1", "unexpected argument '1': the flag --no-endpoint takes no separate value (write "
                        "--no-endpoint or --no-endpoint=0/1)"),
])
def test_malformed_option_exits_2_touching_nothing(installation, args, says):
    assert installation.run(*args.split()) == 2
    assert f"terminal64: command line: {says}" in installation.stderr()
    assert not installation.terminals_folder.exists()


@pytest.mark.parametrize("text, named", [
    ("[Terminal]\nready_delay_ms=soon\n", "ready_delay_ms"),
    ("[Account 7001001]\nleverage=lots\n", "leverage"),
    ("[Terminal]\nstep=1\n", "step: a stepped clock needs its start"),
    ("[Terminal]\nstep=1\nclock=2026-01-05T00:00:00Z\nnow=1767571200\n", "step: a stepped clock cannot be frozen"),
    ("[Terminal]\nclock=1999-01-04T00:00:00Z\n", "terminal.ini: value '1999-01-04T00:00:00Z' for clock is out of range"),
    # Every account would be lost at each exit of the installation's Terminal.
    ("[Terminal]\nstore_memory=1\n", "terminal.ini: store_memory is taken from the command line only "
                                       "(--store-memory), never from the file"),
])
def test_malformed_settings_file_exits_2(installation, text, named):
    write_settings(installation, text)
    assert installation.run() == 2
    assert named in installation.stderr()

