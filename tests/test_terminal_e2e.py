"""The module against the bundled Terminal: launching by path, spellings of
a path, discovery, accounts and a Terminal that dies. (A running Terminal is
reused: every test of bundled.running_terminal relies on it.)"""

import subprocess
from pathlib import Path

import host
import pytest

from fake_terminal import installation
from terminal_client import TerminalClient

OTP = "Unsupported authorization mode, OTP or certificate password needed"


def data_folder(path: Path) -> Path:
    return Path(installation(str(path))["data_folder"])


def settings(path: Path, **values) -> None:
    """Settings the Terminal reads from its data folder when it starts."""
    config = data_folder(path) / "config"
    config.mkdir(parents=True, exist_ok=True)
    lines = "".join(f"{k}={v}\n" for k, v in values.items())
    (config / "terminal.ini").write_text("[Terminal]\n" + lines)


def command_line(pid: int) -> list[str]:
    return Path(f"/proc/{pid}/cmdline").read_bytes().rstrip(b"\0").decode().split("\0")


@pytest.mark.parametrize("portable", [False, True])
def test_launch_by_path(core, install, portable):
    assert core.initialize(str(install), portable=portable) is True, core.last_error()
    (pid,) = host.processes_of(install)
    if not host.WINDOWS:  # Windows offers no portable way to read it back
        assert command_line(pid) == ([str(install), "/portable"] if portable else [str(install)])

    info = core.terminal_info()
    assert info.path == str(install.parent) and info.connected and info.build >= 2364 and info.name
    # A portable Terminal keeps its data beside the program.
    assert info.data_path == str(install.parent if portable else data_folder(install))
    if portable:
        # With nothing running, discovery finds the data folder and starts
        # the Terminal again, portable as that folder says.
        core.shutdown()
        assert host.kill_all([pid])
        assert core.initialize() is True, core.last_error()
        (pid,) = host.processes_of(install)
        if not host.WINDOWS:
            assert command_line(pid) == [str(install), "/portable"]
        assert core.terminal_info().data_path == str(install.parent)


def test_spellings_meet_one_terminal_and_a_killed_one_is_replaced(core, install, private_folders):
    assert core.initialize(str(install)) is True
    (pid,) = host.processes_of(install)
    name = host.TERMINAL_NAME
    spellings = [
        Path(str(install.parent).upper()) / name.upper(),     # letter case
        install.parent / "." / ".." / install.parent.name / name,
    ]
    if not host.WINDOWS:  # links need a privilege there
        link = private_folders / "link"
        link.symlink_to(install.parent)
        spellings.append(link / name)
    for spelling in spellings:
        assert core.initialize(str(spelling)) is True, (spelling, core.last_error())
        assert core.terminal_info().path == str(install.parent)
    assert host.processes_of(install) == [pid]
    assert host.kill_all([pid])
    assert core.account_info() is None
    assert core.last_error()[0] in (-10002, -10004)
    assert core.version() == (0, 0, "") and core.last_error()[0] == -10004
    # A new initialize starts a new Terminal over the stale endpoint.
    assert core.initialize(str(install)) is True, core.last_error()
    assert core.account_info() is not None


def test_accounts(core, install):
    assert core.initialize(str(install), login=5001002, password="demo1002", server="Quorvane-Demo") is True
    account = core.account_info()
    assert (account.login, account.currency, account.server) == (5001002, "EUR", "Quorvane-Demo")
    assert core.login(5001001, "demo1001", "Quorvane-Demo") is True
    assert core.account_info().login == 5001001
    assert core.login(5001003, "demo1003") is False and core.last_error() == (-7, OTP)

    assert core.initialize(str(install), login=5001001, password="wrong") is False
    assert core.last_error() == (-6, "Terminal: Authorization failed")
    assert core.account_info() is None and core.last_error()[0] == -10004
    # A wrong password in one script locks no other out: the Terminal is
    # still logged in to its account.
    assert core.initialize(str(install)) is True, core.last_error()
    assert core.account_info().login == 5001001


def test_readiness_follows_the_start_up_delay(core, install):
    settings(install, ready_delay_ms=3000)
    # Listening, but not ready for a while.
    process = host.popen([str(install)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    try:
        TerminalClient.connect(str(install), timeout=60).close()
        assert core.initialize(str(install), timeout=100) is False
        assert core.last_error() == (-10005, "IPC timeout")
        assert core.initialize(str(install)) is True   # the same Terminal, now ready
    finally:
        core.shutdown()
        process.terminate()
        process.wait(30)


def test_terminal_that_never_opens_its_endpoint(core, install):
    settings(install, no_endpoint=1)
    assert core.initialize(str(install), timeout=300) is False  # the timeout bounds the wait for its start
    assert core.last_error() == (-10003, "IPC initialize failed, Pipe server didn't answer in 0.3 sec")


def test_terminal_that_refuses_to_start_is_reported_with_its_reason(core, install):
    store = data_folder(install) / "trading.db"
    store.parent.mkdir(parents=True)
    store.write_bytes(b"not a database\n" * 100)
    assert core.initialize(str(install)) is False
    # What the Terminal says when run by hand on the same store.
    own = subprocess.run([str(install)], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    said = own.stderr.decode("utf-8", "replace").strip().replace("\r\n", "\n")
    assert own.returncode == 1 and said.startswith("terminal64: ") and "\n" not in said, said
    assert core.last_error() == (-10003, f"IPC initialize failed, Terminal exited with code 1: {said}")

