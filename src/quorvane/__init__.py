"""Python connector to the Quorvane trading Terminal.

The functions and named-tuple types come from the native module
``quorvane._core``; see the README for a tour. ``terminal_path()`` gives the
bundled simulated Terminal, which ``initialize(terminal_path())`` starts.
"""

import sys as _sys
from importlib import resources as _resources

from . import _core
from ._core import *  # noqa: F401,F403  (the module's functions and types)

__all__ = [name for name in dir(_core) if not name.startswith("_")]
__all__ += ["terminal_path"]

from . import constants as _constants
from .constants import *  # noqa: F401,F403  (the bundled Terminal's enumerations)

__all__ += _constants.__all__


def terminal_path() -> str:
    """Path of the bundled ``terminal64`` program (``terminal64.exe`` on Windows)."""
    name = "terminal64.exe" if _sys.platform == "win32" else "terminal64"
    return str(_resources.files(__name__) / "bin" / name)
