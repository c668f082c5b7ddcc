"""The Terminal's installation side: data folders, settings files, one copy
per installation, clean shutdown and start-up options."""

from __future__ import annotations

import configparser
import signal
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
    unknown = ("--frobnicate", "--colour=blue", "-x")  # ignored
    installation.start("--ready-delay-ms", "3600000", "--build", "2501", *unknown)
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


@pytest.mark.parametrize("args", [
    "--build 24o5", "--build 0", "--build", "--ready-delay-ms -5", "--idle-exit-s 1e3", "--now yesterday",
    "--now 1710504000.1234", "--history-start 2019-13-01", "--history-start 1999-12-31", "--max-response-mb 4096",
    "--extra-symbols 100001", "--no-endpoint=maybe", "--max-clients 0", "--frame-timeout-ms 9",
    "--handshake-timeout-ms 1h",
])
def test_malformed_option_exits_2_touching_nothing(installation, args):
    assert installation.run(*args.split()) == 2
    assert "terminal64:" in installation.stderr()
    assert not installation.terminals_folder.exists()


@pytest.mark.parametrize("text, named", [
    ("[Terminal]\nready_delay_ms=soon\n", "ready_delay_ms"),
    ("[Account 7001001]\nleverage=lots\n", "leverage"),
    ("[Terminal]\nstep=1\n", "step: a stepped clock needs its start"),
    ("[Terminal]\nstep=1\nclock=2026-01-05T00:00:00Z\nnow=1767571200\n", "step: a stepped clock cannot be frozen"),
])
def test_malformed_settings_file_exits_2(installation, text, named):
    write_settings(installation, text)
    assert installation.run() == 2
    assert named in installation.stderr()

