"""initialize, login and shutdown against a scripted Terminal, and discovery
of installed Terminals through their data folders."""

import os
import socket
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import host
import pytest

from fake_terminal import FakeTerminal, endpoint_path, handshake_reply, ready_reply, reply, request, u32, u64, wide

NOT_FOUND = "IPC initialize failed, Quorvane x64 not found"
OTP = "Unsupported authorization mode, OTP or certificate password needed"
INCOMPATIBLE = ("Terminal: Incompatible versions, please install the latest version of "
                "Terminal and Python module")


def login_frame(login, password, server):
    return request(5, u32(0) + u64(login) + wide(password) + wide(server))


NO_CONNECTION = "No IPC connection, call initialize() first"

@pytest.mark.parametrize("name, args, kwargs, message", [
    ("initialize", (1,), {}, "Invalid 1st unnamed argument"),
    ("initialize", ("a", "b"), {}, "Invalid number of arguments"),
    ("initialize", ("x" * 258,), {}, "Invalid 1st unnamed argument"),
    ("initialize", (5,), {"login": -1}, "Invalid 1st unnamed argument"),  # positional checked first
    *[("initialize", (), {key: value}, f'Invalid "{key}" argument') for key, values in {
        "login": [-1, 2**64, "1"], "server": [1, "s" * 254, "Quorvane-Demo\0x"], "password": [b"pw", "demo1001\0zzz"],
        "timeout": [-1, 2**32, 1.5], "path": [7, "p" * 258, "/bin/true\0x"]}.items() for value in values],
    # Keywords are checked in order.
    ("initialize", (), {"login": 1, "server": 2, "path": 3}, 'Invalid "server" argument'),
    ("login", (), {}, 'Invalid "login" argument'),
    ("login", (0,), {}, 'Invalid "login" argument'),
    ("login", ("1",), {}, "Invalid 1st unnamed argument"),
    ("login", (-1,), {}, "Invalid 1st unnamed argument"),
    ("login", (1, 2), {}, "Invalid 2nd unnamed argument"),
    ("login", (5001001, "demo1001\0zzz"), {}, "Invalid 2nd unnamed argument"),  # a text holding NUL
    ("login", (1, "pw", 3), {}, "Invalid 3rd unnamed argument"),
    ("login", (1, "pw", "srv", 4), {}, "Invalid number of arguments"),
    ("login", (1,), {"timeout": "5"}, 'Invalid "timeout" argument'),
    ("login", (1,), {}, NO_CONNECTION),
])
def test_initialize_and_login_reject_arguments(core, name, args, kwargs, message):
    assert getattr(core, name)(*args, **kwargs) is False
    assert core.last_error() == (-10004 if message == NO_CONNECTION else -2, message)


def test_no_installed_terminal_or_no_roaming_folder(core, monkeypatch):
    # The failure names where the bundled Terminal is.
    assert core.initialize() is False
    assert core.last_error() == (-10003, NOT_FOUND)
    data_folder(Path(os.environ["XDG_DATA_HOME"]), "broken", None, origin=b"plain text path")
    assert core.initialize() is False
    assert core.last_error() == (-10003, NOT_FOUND)
    if not host.WINDOWS:  # there the roaming folder is the user's known folder, not the environment
        monkeypatch.delenv("XDG_DATA_HOME")
        monkeypatch.delenv("HOME", raising=False)
        assert core.initialize() is False
        assert core.last_error() == (-10003, "IPC initialize failed, ")


LOGIN = {"login": 5001001, "password": "pässword", "server": "Quorvane-Demo"}
VERSION = reply(1, 1, u32(1) + u32(2) + wide("v"))


# initialize's connect sequence: the script, the outcome, the commands sent,
# then what version() gives (a refused login or readiness closes the link).
HANDSHAKE = handshake_reply()
AUTH_FAILED = (-6, "Terminal: Authorization failed")


@pytest.mark.parametrize("steps, kwargs, error, commands, after", [
    ([HANDSHAKE, reply(5, 1), ready_reply(), VERSION], LOGIN, (1, "Success"), [4, 5, 109],
     (1, 2, "v")),
    ([HANDSHAKE, reply(5, -6), VERSION], LOGIN, AUTH_FAILED, [4, 5], None),
    ([HANDSHAKE, reply(5, -7), VERSION], LOGIN, (-7, OTP), [4, 5], None),
    ([HANDSHAKE, reply(5, -2), VERSION], LOGIN, (-2, "Terminal: Invalid params"), [4, 5], None),
    ([reply(4, -5), VERSION], {}, (-5, INCOMPATIBLE), [4], (1, 2, "v")),  # the link stays open
    ([HANDSHAKE, ready_reply(1), ready_reply(0), ready_reply(2), VERSION], {}, (1, "Success"), [4, 109, 109, 109],
     (1, 2, "v")),  # polled until ready
    ([HANDSHAKE, ready_reply(0), ready_reply(3), VERSION], {}, AUTH_FAILED, [4, 109, 109], None),
])
def test_connect_sequence(fake, core, steps, kwargs, error, commands, after):
    fake.serve(*steps, handshake=False)
    assert fake.connect(**kwargs) is (error[0] == 1)
    assert core.last_error() == error
    frames = fake.frames()
    assert [f[4] for f in frames] == commands
    if kwargs == LOGIN:
        assert frames[1] == login_frame(5001001, "pässword", "Quorvane-Demo")
    assert core.version() == (after or (0, 0, ""))
    assert after or core.last_error()[0] == -10004


@pytest.mark.parametrize("steps, kwargs, commands", [
    ([(HANDSHAKE, "hold")], {}, [4]),
    ([HANDSHAKE, (reply(5, 1), "hold")], LOGIN, [4, 5]),
    ([HANDSHAKE, (ready_reply(), "hold")], {}, [4, 109]),
    ([HANDSHAKE, *[ready_reply(1)] * 100], {}, [4, 109, 109]),  # never ready: polled until the timeout
])
def test_initialize_gives_up_at_its_timeout(fake, core, private_folders, steps, kwargs, commands):
    # "hold": the reply never comes (the connection is open, the Terminal
    # is stopped or hung); reads during initialize have the call's deadline.
    hold = {"gate": str(private_folders / "never")}
    fake.serve(*[(step[0], hold) if isinstance(step, tuple) else step for step in steps], handshake=False)
    assert fake.connect(timeout=300, **kwargs) is False
    assert core.last_error() == (-10005, "IPC timeout")
    sent = [f[4] for f in fake.frames()]
    assert sent[:len(commands)] == commands and set(sent[len(commands):]) <= {109}
    assert core.version() == (0, 0, "") and core.last_error()[0] == -10004


@host.posix_only("a socket whose queue of clients is full")
def test_initialize_gives_up_on_an_endpoint_that_takes_no_client(core, private_folders):
    # A listener that accepts nobody, its queue full: connecting would wait
    # until a client is taken.
    exe = private_folders / "full" / host.TERMINAL_NAME
    exe.parent.mkdir()
    exe.write_text("")
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(endpoint_path(str(exe)))
    server.listen(0)
    queued = []
    while True:
        client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        client.setblocking(False)
        queued.append(client)
        try:
            client.connect(endpoint_path(str(exe)))
        except BlockingIOError:
            break
    outcome = []
    waiting = threading.Thread(target=lambda: outcome.append((core.initialize(str(exe), timeout=300),
                                                              core.last_error())))
    waiting.start()
    waiting.join(60)
    server.close()  # a connect still waiting fails now
    waiting.join(60)
    for client in queued:
        client.close()
    assert outcome == [(False, (-10005, "IPC timeout"))]


@host.posix_only("a shell script stands in for the Terminal's executable")
@pytest.mark.parametrize("script, detail", [
    ('echo "terminal64: the store is locked" >&2; exit 1', "Terminal exited with code 1: terminal64: the store is locked"),
    ("exit 3", "Terminal exited with code 3"),
    ("kill -KILL $$", "Terminal ended by signal 9"),
    # The last lines within 1000 bytes: a longer line before them is left out.
    ('printf "%02000d\\n" 0 >&2; printf "first\\r\\nlast words\\n\\n" >&2; exit 2',
     "Terminal exited with code 2: first\nlast words"),
])
def test_a_started_terminal_that_exits_is_reported_at_once(core, private_folders, script, detail):
    exe = private_folders / "exits" / host.TERMINAL_NAME
    exe.parent.mkdir()
    exe.write_text(f"#!/bin/sh\n{script}\n")
    exe.chmod(0o755)
    assert core.initialize(str(exe)) is False
    assert core.last_error() == (-10003, f"IPC initialize failed, {detail}")


def test_login_refused_keeps_connection_a_second_initialize_drops_it(fake, core):
    fake.connected(reply(5, -7), reply(5, 1), ready_reply(), VERSION)
    assert core.login(77, "pw", "srv") is False
    assert core.last_error() == (-7, OTP)
    assert fake.requests()[0] == login_frame(77, "pw", "srv")
    # The connection still serves, and the next login's success is reported
    # as such, not as the earlier failure. Keywords win over positionals.
    assert core.login(1, "a", "b", login=78, password="pw", server="srv") is True
    assert core.last_error() == (1, "Success")
    assert fake.requests()[1] == login_frame(78, "pw", "srv")
    assert core.version() == (1, 2, "v")
    assert core.initialize(12) is False
    assert core.version() == (0, 0, "") and core.last_error()[0] == -10004
    assert core.shutdown() is True and core.last_error() == (1, "Success")  # with no connection too


@pytest.mark.parametrize("name", ["plain", "dossier-\u00e9-\U0001F600", pytest.param(
    "raw-\udcff", marks=host.posix_only("file names there are UTF-16, never raw bytes"))])
def test_not_an_executable(core, private_folders, name):
    path = private_folders / name / host.TERMINAL_NAME
    path.parent.mkdir()
    path.write_text("data")
    assert core.initialize(str(path)) is False
    # An undecodable byte shows as U+FFFD: the message is always valid text.
    shown = str(path).replace("\udcff", "\ufffd")
    assert core.last_error() == (-10003, f"IPC initialize failed, Process create failed '{shown}'")


@host.posix_only("named pipes have no endpoint folder")
@pytest.mark.parametrize("problem, says", [
    ("world-writable", "is writable by other users"),
    ("foreign-owner", "is owned by another user"),
    ("not-a-directory", "is not a directory"),
    ("too-long", "is too long (158 bytes; a socket path holds at most 107)"),
])
def test_unsafe_endpoint_folder_is_refused(core, fake, monkeypatch, private_folders, problem, says):
    fake.serve()
    unsafe = private_folders / "unsafe"
    if problem == "not-a-directory":
        unsafe.write_text("")
    elif problem == "too-long":
        # A sound folder whose endpoint path cannot fit a socket address.
        unsafe = private_folders / ("d" * (158 - len(str(private_folders)) - 1 - 78))
        unsafe.mkdir(mode=0o700)
    else:
        unsafe.mkdir()
        if problem == "world-writable":
            unsafe.chmod(0o777)
        else:
            if os.geteuid() != 0:
                pytest.skip("changing a folder's owner needs root")
            os.chown(unsafe, 54321, 54321)
            unsafe.chmod(0o700)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(unsafe))
    assert fake.connect() is False
    code, message = core.last_error()
    assert code == -10003 and str(unsafe) in message and says in message, message


# ---- discovery -----------------------------------------------------------------


def data_folder(root: Path, name: str, install: Path | None, *, portable=False, qsl=True,
                stamp: float | None = None, origin: bytes | None = None) -> Path:
    folder = root / "Belvastor" / "Terminal" / name
    (folder / "config").mkdir(parents=True)
    if qsl:
        (folder / "QSL").mkdir()
    if origin is None and install is not None:
        origin = b"\xff\xfe" + str(install).encode("utf-16-le")
    if origin is not None:
        (folder / "origin.txt").write_bytes(origin)
    marker = folder / ("portable.txt" if portable else "config/terminal.ini")
    marker.write_text("")
    if stamp is not None:
        os.utime(marker, (stamp, stamp))
    return folder


@pytest.fixture
def installs(private_folders):
    """installs(name) -> a scripted Terminal serving from its own installation
    folder (every one stops with the test)."""
    def start(name):
        terminal = FakeTerminal(private_folders / name)
        terminal.serve()
        return terminal

    return start


def test_discovery_picks_the_newest_usable_data_folder(core, private_folders, installs):
    roaming = Path(os.environ["XDG_DATA_HOME"])
    new, old, decoy = installs("new"), installs("old"), installs("decoy")
    install = Path(decoy.path).parent
    now = time.time()
    # A portable folder needs no QSL folder; any other does.
    data_folder(roaming, "A", Path(new.path).parent, portable=True, qsl=False, stamp=now - 500)
    data_folder(roaming, "B", Path(old.path).parent, stamp=now - 1000)
    # Newer still, but unusable.
    data_folder(roaming, ".hidden", install, stamp=now)
    data_folder(roaming, "nobom", None, origin=str(install).encode(), stamp=now)
    data_folder(roaming, "short", None, origin=b"\xff\xfe/a", stamp=now)
    data_folder(roaming, "noexe", private_folders / "missing", stamp=now)
    data_folder(roaming, "noqsl", install, qsl=False, stamp=now)
    assert core.initialize() is True
    assert new.frames() and not old.frames() and not decoy.frames()


def test_discovery_prefers_the_terminal_that_started_us(core, private_folders, installs):
    """A process started by a Terminal connects to that Terminal, even when
    another data folder is newer. A copy of the system shell stands in for
    the parent Terminal's executable."""
    roaming = Path(os.environ["XDG_DATA_HOME"])
    parent = FakeTerminal(private_folders / "parent")
    shell = os.path.join(os.environ.get("SystemRoot", "C:\\windows"), "System32", "cmd.exe") if host.WINDOWS else "/bin/sh"
    host.copy_file(shell, parent.path)
    other = installs("other")
    parent.serve()
    now = time.time()
    data_folder(roaming, "parent", Path(parent.path).parent, stamp=now - 1000)
    data_folder(roaming, "other", Path(other.path).parent, stamp=now)
    script = "import quorvane._core as c; print(c.initialize(), c.last_error())"
    if host.WINDOWS:
        command = f'"{parent.path}" /s /c ""{sys.executable}" -c "{script}""'
    else:
        # Two commands, so the shell runs Python as its child instead of exec-ing it.
        command = [parent.path, "-c", f'"{sys.executable}" -c "{script}"; exit $?']
    out = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith("True"), out.stdout + out.stderr
    assert parent.frames() and not other.frames()


@host.posix_only("file names there are UTF-16, never raw bytes")
@pytest.mark.parametrize("raw_side", ["given", "resolved"])
def test_path_bytes_that_are_not_utf8_round_trip(core, private_folders, raw_side):
    # Bytes 0x80 and 0xFF reach Python as U+DC80 and U+DCFF. The endpoint is
    # named after the resolved path, so the module must turn a given path
    # back into the same bytes to resolve it through the link, and the
    # resolved bytes into the same units to name the endpoint.
    raw = Path(os.fsdecode(bytes(private_folders) + b"/raw-\x80\xff"))
    plain = private_folders / "plain"
    real, link = (plain, raw) if raw_side == "given" else (raw, plain)
    terminal = FakeTerminal(real)
    link.symlink_to(real)
    terminal.serve()
    assert core.initialize(str(link / "terminal64")) is True
    assert terminal.frames()


@host.posix_only("a shell script lists the descriptors it inherited from /proc")
def test_launched_terminal_inherits_no_descriptor(private_folders):
    # An inheritable descriptor opened before the soft limit was lowered
    # below its number must still not reach the Terminal.

    report = private_folders / "report"
    exe = private_folders / "terminal64"
    exe.write_text(f'#!/bin/sh\nls /proc/$$/fd > "{report}.tmp"; mv "{report}.tmp" "{report}"\n')
    exe.chmod(0o755)
    script = f"""
import os, resource
fd = os.open("/dev/null", os.O_RDONLY)
os.dup2(fd, 900, inheritable=True)
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
import quorvane._core as core
core.initialize({str(exe)!r}, timeout=1000)  # it ends at once, serving nothing
"""
    subprocess.run([sys.executable, "-c", script], timeout=60, check=True)
    deadline = time.monotonic() + 20
    while not report.exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    fds = set(report.read_text().split())
    assert "900" not in fds


@host.posix_only("file owners and group/world write bits")
@pytest.mark.parametrize("target", ["folder", "origin.txt", "terminal64", "installation"])
@pytest.mark.parametrize("problem", ["foreign-owner", "group-writable", "world-writable"])
def test_discovery_ignores_what_another_user_may_change(core, private_folders, installs, target, problem):
    roaming = Path(os.environ["XDG_DATA_HOME"])
    decoy, good = installs("decoy"), installs("good")
    folder = data_folder(roaming, "newer", Path(decoy.path).parent, stamp=time.time())
    path = {"folder": folder, "origin.txt": folder / "origin.txt", "terminal64": Path(decoy.path),
            "installation": Path(decoy.path).parent}[target]
    if problem == "foreign-owner":
        if os.geteuid() != 0:
            pytest.skip("changing a file's owner needs root")
        os.chown(path, 54321, 54321)
    else:
        path.chmod(path.stat().st_mode | (stat.S_IWGRP if problem == "group-writable" else stat.S_IWOTH))
    assert core.initialize() is False
    assert core.last_error() == (
        -10003, NOT_FOUND)
    data_folder(roaming, "older", Path(good.path).parent, stamp=time.time() - 1000)
    assert core.initialize() is True
    assert good.frames() and not decoy.frames()
