"""A copy of the bundled Terminal run by a test with options of its own."""

from __future__ import annotations

import contextlib
import subprocess
from pathlib import Path
from typing import Iterator

import host
from terminal_client import TerminalClient

NOW = 1_768_478_400  # 2026-01-15 12:00 UTC, a Thursday: every market is open
MOVING = ("--clock", str(NOW), "--speed", "300")  # from NOW, five market minutes a second


@contextlib.contextmanager
def running_terminal(folder: Path, binary: str, core, *options: str) -> Iterator[Path]:
    """Copies the Terminal into `folder`, starts it with `options`, connects
    the module to it and yields the executable's path; afterwards the module
    disconnects and the Terminal is stopped."""
    exe = folder / "terminal" / host.TERMINAL_NAME
    exe.parent.mkdir(exist_ok=True)
    host.copy_file(binary, exe)
    process = host.popen([str(exe), *options], cwd=exe.parent,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        # Connect only once it listens: a module finding no endpoint would
        # start a second copy without the options.
        TerminalClient.connect(str(exe)).close()
        assert core.initialize(str(exe)), core.last_error()
        yield exe
    finally:
        core.shutdown()
        process.terminate()
        process.wait(10)
