"""A copy of the bundled Terminal run by a test with options of its own."""

from __future__ import annotations

import contextlib
import shutil
import subprocess
from pathlib import Path
from typing import Iterator

import host


@contextlib.contextmanager
def running_terminal(folder: Path, binary: str, core, *options: str) -> Iterator[Path]:
    """Copies the Terminal into `folder`, starts it with `options`, connects
    the module to it and yields the executable's path; afterwards the module
    disconnects and the Terminal is stopped."""
    exe = folder / "terminal" / host.TERMINAL_NAME
    exe.parent.mkdir(exist_ok=True)
    shutil.copy2(binary, exe)
    process = subprocess.Popen([str(exe), *options], cwd=exe.parent,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert core.initialize(str(exe)), core.last_error()
        yield exe
    finally:
        core.shutdown()
        process.terminate()
        process.wait(10)
