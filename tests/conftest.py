"""Shared fixtures.

Every test gets its own private endpoint folder and data folder, so Terminals
started by one test are never seen by another, and the module's connection
is dropped after each test.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

import fake_terminal  # noqa: E402
import host  # noqa: E402
from bundled import NOW, running_terminal  # noqa: E402
from fake_terminal import FakeTerminal  # noqa: E402
from terminal_client import TerminalClient  # noqa: E402


@pytest.fixture(autouse=True)
def private_folders(monkeypatch):
    # Endpoint paths must fit a socket address (108 bytes), so the folder
    # lives directly under /tmp rather than in pytest's deep tmp_path.
    root = Path(tempfile.mkdtemp(prefix="qvn-"))
    runtime = root / "run"
    runtime.mkdir(mode=0o700)
    data = root / "data"
    data.mkdir()
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(runtime))
    roaming = host.RoamingFolder(monkeypatch, data)
    try:
        yield root
    finally:
        from quorvane import _core

        _core.shutdown()
        fake_terminal.stop_all()
        # Terminals a test started never outlive it.
        host.kill_all(host.processes_of(root, under=True))
        roaming.restore()
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def core():
    from quorvane import _core

    return _core


@pytest.fixture
def fake(private_folders):
    return FakeTerminal(private_folders / "fake")  # stopped with the other scripts of the test


@pytest.fixture(scope="session")
def terminal_binary() -> str:
    override = os.environ.get("QVN_TERMINAL64")
    if override:
        return override
    import quorvane

    path = quorvane.terminal_path()
    if not os.path.exists(path):
        pytest.fail(f"bundled Terminal missing at {path}")
    return path


@pytest.fixture
def install(private_folders, terminal_binary) -> Path:
    """A fresh installation folder holding a copy of the Terminal."""
    path = private_folders / "Some Terminal" / host.TERMINAL_NAME
    path.parent.mkdir()
    host.copy_file(terminal_binary, path)
    return path


@pytest.fixture
def frozen(private_folders, terminal_binary, core):
    """The Terminal running with its clock frozen at NOW, the module connected; yields its path."""
    with running_terminal(private_folders, terminal_binary, core, "--now", str(NOW)) as exe:
        yield exe


@pytest.fixture
def bundled(private_folders, terminal_binary, core):
    """bundled(*options) -> a raw client of the bundled Terminal started with
    `options`, the module connected beside it; both end with the test."""
    with contextlib.ExitStack() as stack:
        def start(*options):
            exe = stack.enter_context(running_terminal(private_folders, terminal_binary, core, *options))
            client = stack.enter_context(contextlib.closing(TerminalClient.connect(str(exe))))
            client.handshake()
            return client

        yield start
