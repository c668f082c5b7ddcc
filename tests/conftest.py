"""Shared fixtures.

Every test gets its own private endpoint folder and data folder, so Terminals
started by one test are never seen by another, and the module's connection
is dropped after each test.
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from fake_terminal import FakeTerminal  # noqa: E402


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
    monkeypatch.setenv("XDG_DATA_HOME", str(data))
    yield root
    from quorvane import _core

    _core.shutdown()
    stop_programs_under(root)
    shutil.rmtree(root, ignore_errors=True)


def stop_programs_under(root: Path) -> None:
    """Kills every process whose executable lies under `root`: Terminals a
    test started, directly or through the module, never outlive it."""
    import signal

    prefix = str(root.resolve()) + "/"
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            exe = os.readlink(entry / "exe")
        except OSError:
            continue
        if exe.startswith(prefix):
            try:
                os.kill(int(entry.name), signal.SIGKILL)
            except OSError:
                pass


@pytest.fixture
def core():
    from quorvane import _core

    return _core


@pytest.fixture
def fake(private_folders):
    terminal = FakeTerminal(private_folders / "fake")
    yield terminal
    terminal.stop()


@pytest.fixture(scope="session")
def terminal_binary() -> str:
    """The bundled Terminal program."""
    override = os.environ.get("QVN_TERMINAL64")
    if override:
        return override
    import quorvane

    path = quorvane.terminal_path()
    if not os.path.exists(path):
        pytest.fail(f"bundled Terminal missing at {path}")
    return path
