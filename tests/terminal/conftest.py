"""Fixtures for the bundled Terminal's own tests.

Each test gets the suite's private runtime and data folders; `launch` copies
terminal64 into an installation folder under them and starts it with a
frozen market clock. These tests talk to the Terminal over raw sockets.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
sys.path.insert(0, str(Path(__file__).resolve().parent))

import host  # noqa: E402
import terminal_client as tc  # noqa: E402
from terminal_times import NOW_ARG  # noqa: E402


class TerminalProcess:
    """One installation of terminal64 and the process running it."""

    def __init__(self, root: Path, binary: str, name: str):
        self.root = root
        self.install = root / name
        self.install.mkdir(exist_ok=True)
        self.exe = str(self.install / host.TERMINAL_NAME)
        if not os.path.exists(self.exe):
            host.copy_file(binary, self.exe)
        self.proc: subprocess.Popen | None = None
        self.stderr_path = self.install / "stderr.log"
        self.args: list[str] = []  # of the last start

    @property
    def endpoint(self):
        return host.endpoint(tc.endpoint_path(self.exe))

    @property
    def pid_file(self) -> Path:
        return Path(tc.installation(self.exe)["pid_file"])

    @property
    def terminals_folder(self) -> Path:
        return Path(os.environ["XDG_DATA_HOME"]) / "Belvastor" / "Terminal"

    @property
    def data_folder(self) -> Path:
        return self.terminals_folder / Path(tc.installation(self.exe)["data_folder"]).name

    def store_folder(self, args: list[str] | None = None) -> Path:
        """The folder of the trading store a start with `args` (default: the
        last start's) uses: the folder holding config/ on the wall clock, its
        set-clock/ on a set clock (--now, --clock)."""
        args = self.args if args is None else args
        files = self.install if "/portable" in args else self.data_folder
        named = {a.split("=")[0] for a in args}
        return files / "set-clock" if named & {"--now", "--clock"} else files

    def start(self, *args: str, now: str | None = NOW_ARG, wait: bool = True) -> "TerminalProcess":
        argv = [self.exe, *args]
        if now is not None:
            argv += ["--now", now]
        self.args = argv[1:]
        with open(self.stderr_path, "ab") as err:
            self.proc = host.popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        if wait:
            try:
                tc.TerminalClient.connect(self.exe, timeout=15).close()
            except OSError:
                exit_code = self.proc.poll()
                raise AssertionError(f"no endpoint (exit {exit_code}): {self.stderr()}") from None
        return self

    def run(self, *args: str, timeout: float = 20) -> int:
        """Runs a copy to its end; returns its exit code."""
        self.start(*args, now=None, wait=False)
        return self.proc.wait(timeout=timeout)

    def stderr(self) -> str:
        return self.stderr_path.read_text(errors="replace")

    def client(self) -> tc.TerminalClient:
        return tc.TerminalClient.connect(self.exe)

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 20) -> int:
        """Stops the Terminal; its exit code. On Windows it is terminated:
        there is no console under the test runner to send Ctrl+Break to."""
        self.proc.send_signal(sig)
        return self.proc.wait(timeout=timeout)

    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None


@pytest.fixture
def launch(private_folders, terminal_binary):
    """launch(*args, name="inst", now=NOW_ARG, wait=True) -> TerminalProcess; with
    start=False, the installation alone. Whatever still runs is killed at the end."""
    made: list[TerminalProcess] = []

    def _launch(*args: str, name: str = "inst", now: str | None = NOW_ARG, wait: bool = True, start: bool = True):
        made.append(TerminalProcess(private_folders, terminal_binary, name))
        return made[-1].start(*args, now=now, wait=wait) if start else made[-1]

    yield _launch
    for t in made:
        if t.running():
            t.proc.kill()
            t.proc.wait()


@pytest.fixture
def installation(launch):
    return launch(start=False)


@pytest.fixture
def terminal(launch):
    return launch()


@pytest.fixture
def client(terminal):
    with terminal.client() as c:
        yield c
