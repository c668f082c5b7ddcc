"""python -m quorvane: terminal start|status|stop against a copy of the
bundled Terminal, the demo end to end, and the chart's time axis."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
from pathlib import Path

import host
import pytest

from fake_terminal import endpoint_path
from quorvane import _chart, _instance

posix_only = host.posix_only("the tests move the roaming folder through the registry, which APPDATA does not follow")


def cli(*args: str, cwd: Path, timeout: float = 180) -> tuple[int, str]:
    done = subprocess.run([sys.executable, "-m", "quorvane", *args], cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=timeout)
    return done.returncode, done.stdout + done.stderr


@pytest.fixture
def exe(install) -> str:
    return str(install)


CLOCK = ["--clock", "2026-01-05T08:00:00Z", "--speed", "600"]


def test_start_status_stop(exe, private_folders):
    run = lambda *a: cli(*a[:2], "--path", exe, *a[2:], cwd=private_folders)  # noqa: E731
    code, out = run("terminal", "start", "--", *CLOCK)
    assert code == 0 and "is running (pid" in out, out
    assert "clock        moving from 2026-01-05 08:00:00 UTC at 600x, now 2026-01-05 " in out, out
    pid = _instance.running_pid(_instance.Installation.of(exe))
    assert pid is not None and host.alive(pid)
    assert host.endpoint(endpoint_path(exe)).exists()  # where the module's names say

    # Asked again: the same options (spelled otherwise), none, or others.
    for options, want in ((["--speed=600", "--clock", "2026-01-05T08:00:00Z"], 0), ([], 0),
                          (["--clock", "2026-01-05T08:00:00Z", "--speed", "60"], 1)):
        code, out = run("terminal", "start", "--", *options)
        assert code == want and f"already running (pid {pid})" in out, out
        assert "options      --clock 2026-01-05T08:00:00Z --speed 600" in out, out
    assert "running    --clock 2026-01-05T08:00:00Z --speed 600\n  asked for  --clock 2026-01-05T08:00:00Z " \
           "--speed 60\n" in out, out
    code, out = run("terminal", "status")
    assert code == 0 and f"running (pid {pid})" in out and endpoint_path(exe) in out, out
    assert "clock        moving from 2026-01-05 08:00:00 UTC at 600x" in out
    assert "account      5001001 on Quorvane-Demo" in out and "data folder" in out

    code, out = run("terminal", "stop")
    assert code == 0 and out.rstrip().endswith("stopped"), out
    gone = not host.alive(pid) if host.WINDOWS else _instance._process_gone(pid)  # exited (maybe not reaped)
    assert gone and not host.endpoint(endpoint_path(exe)).exists()
    code, out = run("terminal", "status")
    assert code == 1 and "is not running" in out
    code, out = run("terminal", "stop")
    assert code == 0 and "not running; nothing to stop" in out
    # `status | head -2`: a reader that leaves early is no error.
    status = subprocess.Popen([sys.executable, "-m", "quorvane", "terminal", "status", "--path", exe],
                              cwd=private_folders, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    status.stdout.close()
    assert (status.stderr.read(), status.wait()) == (b"", 1)
    status.stderr.close()


# Stands in for a Terminal holding its pid file: "slow" lets go of the file
# at SIGTERM but takes a while to end, "stubborn" ignores SIGTERM.
HOLDER = """
import fcntl, os, signal, sys, time
path, mode = sys.argv[1], sys.argv[2]
fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
fcntl.flock(fd, fcntl.LOCK_EX)
os.write(fd, f"{os.getpid()}\\n".encode())
def ending(*_):
    os.unlink(path)
    fcntl.flock(fd, fcntl.LOCK_UN)
    time.sleep(2)
    sys.exit(0)
signal.signal(signal.SIGTERM, {"slow": ending, "stubborn": signal.SIG_IGN}[mode])
print("ready", flush=True)
time.sleep(60)
"""


@host.posix_only("the holder stands in for a Terminal with flock")
@pytest.mark.parametrize("mode, args, code, says, alive", [
    ("slow", [], 0, "stopped", False),                        # returns once the process is gone
    ("stubborn", ["--timeout", "1"], 1, "still running (pid {pid}) after 1 s", True),
])
def test_stop(exe, private_folders, mode, args, code, says, alive):
    pid_file = _instance.Installation.of(exe).pid_file
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, pid_file, mode], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "ready\n"
        got, out = cli("terminal", "stop", "--path", exe, *args, cwd=private_folders)
        assert (got, says.format(pid=holder.pid) in out) == (code, True), out
        assert (holder.poll() is None) == alive
    finally:
        holder.kill()
        holder.wait()
        holder.stdout.close()


@host.posix_only("SIGSTOP")
def test_status_of_a_terminal_that_does_not_answer(exe, private_folders):
    # Stopped, it keeps its endpoint and accepts connections, but answers
    # nothing; neither the module's connection nor the stepped clock's
    # question may wait for it without bound.
    code, out = cli("terminal", "start", "--path", exe, "--", "--clock", "2026-01-05T08:00:00Z", "--step",
                    cwd=private_folders)
    assert code == 0, out
    pid = _instance.running_pid(_instance.Installation.of(exe))
    os.kill(pid, signal.SIGSTOP)
    try:
        code, out = cli("terminal", "status", "--path", exe, cwd=private_folders, timeout=120)
    finally:
        os.kill(pid, signal.SIGCONT)
    assert code == 1 and f"is running (pid {pid})" in out, out
    assert "  clock        stepped, from 2026-01-05 08:00:00 UTC\n" in out, out
    assert out.endswith("  account      unknown: the Terminal does not answer (no reply within 10 s)\n"), out
    assert cli("terminal", "status", "--path", exe, cwd=private_folders)[0] == 0  # it answers again


def test_stop_leaves_a_stale_pid_alone(exe, private_folders):
    bystander = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        pid_file = _instance.Installation.of(exe).pid_file
        Path(pid_file).write_text(f"{bystander.pid}\n")
        code, out = cli("terminal", "stop", "--path", exe, cwd=private_folders)
        assert code == 0 and f"names pid {bystander.pid}, which no Terminal holds" in out, out
        assert bystander.poll() is None
        assert cli("terminal", "status", "--path", exe, cwd=private_folders)[0] == 1
    finally:
        bystander.kill()
        bystander.wait()


@posix_only
def test_status_of_a_terminal_logged_in_to_no_account(exe, private_folders):
    config = Path(_instance.Installation.of(exe).data_folder) / "config"
    config.mkdir(parents=True)
    (config / "terminal.ini").write_text("[Account 5001001]\npassword=demo1001\notp=1\n")
    code, out = cli("terminal", "start", "--path", exe, "--", "--now", "1767600000.5", cwd=private_folders)
    assert code == 0 and "logged in to no account" in out, out
    assert "clock        frozen at 2026-01-05 08:00:00 UTC" in out, out


def test_status_of_a_stepped_clock(exe, private_folders):
    from quorvane.backtest._clock import Clock

    code, out = cli("terminal", "start", "--path", exe, "--", "--clock", "2026-01-05T08:00:00Z", "--step",
                    cwd=private_folders)
    assert code == 0 and "clock        stepped, now 2026-01-05 08:00:00 UTC" in out, out
    with Clock(_instance.Installation.of(exe).endpoint, []) as control:
        control.step(1_767_603_600_000)
    code, out = cli("terminal", "status", "--path", exe, cwd=private_folders)
    assert code == 0 and "clock        stepped, now 2026-01-05 09:00:00 UTC" in out, out
    assert cli("terminal", "stop", "--path", exe, cwd=private_folders)[0] == 0


@pytest.mark.parametrize(
    "args, code, says",
    [
        ([], 2, "a command is required"),
        (["terminal"], 2, "a command is required"),
        (["terminal", "restart"], 2, "invalid choice"),
        (["demo", "--bogus"], 2, "unrecognized arguments"),
        (["--help"], 0, "terminal start"),
        (["terminal", "stop", "--help"], 0, "pid file"),
        (["terminal", "status", "--path", "/nonexistent/terminal64"], 1, "no Terminal program at"),
        (["terminal", "start", "--path", "{exe}", "--", "--speed", "0"], 1,
         "cannot start it: the Terminal exited with code 2"),
        (["terminal", "start", "--path", "{exe}", "--", "--step"], 1, "step: a stepped clock needs its start"),
    ],
)
def test_usage_and_failures(exe, private_folders, args, code, says):
    got, out = cli(*(a.replace("{exe}", exe) for a in args), cwd=private_folders)
    assert (got, says in out) == (code, True), out


def test_demo_end_to_end(private_folders, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(private_folders))  # its private Terminal's folder goes here
    chart = private_folders / "chart.png"
    code, out = cli("demo", "--chart", str(chart), cwd=private_folders)
    assert code == 0, out
    for step in ("ready (pid", "Market Watch: EURGBP", "Depth of Market of EURUSD", "deals of position",
                 "A year of M1 bars", "Stopping the private Terminal"):
        assert step in out, step
    assert not list(private_folders.glob("quorvane-demo-*"))
    assert not host.processes_of(private_folders, under=True)
    # Nothing left in the user's data folder either, not even the Common folder.
    assert not list((private_folders / "data").iterdir())
    if "matplotlib is not installed" in out:
        pytest.skip("matplotlib is not installed")
    assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


H1, D1 = 3600, 86400
MONDAY = 1796428800  # 2026-12-07 00:00 UTC


@pytest.mark.parametrize(
    "times",
    [
        [MONDAY - 400 * H1 + i * H1 for i in range(400)],                            # hours over several days
        [MONDAY + i * D1 for i in range(300)],                                       # days across a new year
        [MONDAY - 5 * D1 + i * 60 for i in range(50)] + [MONDAY + i * 60 for i in range(50)],  # a weekend gap
        [MONDAY],
        [MONDAY, MONDAY + H1],
    ],
)
def test_chart_time_labels(times):
    ticks = _chart.time_ticks(times)
    positions = [i for i, _ in ticks]
    labels = [label for _, label in ticks]
    assert positions == sorted(set(positions)) and positions[-1] == len(times) - 1  # the newest bar labelled
    assert len(set(labels)) == len(labels) and len(ticks) <= 8
