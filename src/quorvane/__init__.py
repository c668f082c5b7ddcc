"""Python connector to the Quorvane trading Terminal.

The functions and named-tuple types come from the native module
``quorvane._core``; see the README for a tour. ``terminal_path()`` gives the
bundled simulated Terminal, which ``initialize(terminal_path())`` starts.

Functions report failure by their return value (None, or False for those
that answer a truth value) and ``last_error()`` tells why; they never raise
for a failed call. Each function's own documentation (``help()``) also says
what the package adds to the native one. The enumerations of
``quorvane.constants`` are available here too.
"""

import sys as _sys
import typing as _typing
from importlib import import_module as _import_module

from . import _core, _front
from ._core import *  # noqa: F401,F403  the native functions and named-tuple types
from ._request import TradeRequestDict as TradeRequestDict

if _typing.TYPE_CHECKING:
    from ._session import session as session
    from .constants import *  # noqa: F401,F403

    __version__: str
else:
    from ._front import *  # noqa: F401,F403  what the package adds to some native functions

    # Loaded on first use, so that importing the package costs little more
    # than the native module: the enumerations (many enum classes), sessions
    # (with quorvane.aio and quorvane.live) and the installed version
    # (package metadata). Hidden from type checkers, which would otherwise
    # accept any attribute of the package.
    _LAZY = {"session": "._session"}  # name: the module that holds it

    def __getattr__(name):
        if name == "__version__":
            value = _installed_version()
        elif name in _LAZY:
            value = getattr(_import_module(_LAZY[name], __name__), name)
        else:
            # Not `from . import constants`: that asks this function for
            # `constants` before importing it.
            constants = _import_module(".constants", __name__)
            if name == "constants":
                return constants
            if name == "__all__":
                value = [*_OWN, *_LAZY, *constants.__all__]
            elif name in constants.__all__:
                value = getattr(constants, name)
            else:
                raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        globals()[name] = value
        return value

    def __dir__():
        return sorted(set(globals()) | set(__getattr__("__all__")) | {"__version__"})


def _installed_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("quorvane")
    except metadata.PackageNotFoundError:  # running from a source tree
        return "0+unknown"


def terminal_path() -> str:
    """Path of the bundled ``terminal64`` program (``terminal64.exe`` on Windows)."""
    from importlib import resources

    name = "terminal64.exe" if _sys.platform == "win32" else "terminal64"
    return str(resources.files(__name__) / "bin" / name)


# The public names the package holds once imported (the native functions,
# their types and what this file adds); __all__ adds the lazy ones.
_OWN = tuple(name for name in globals() if not name.startswith("_"))
