"""Python connector to the Quorvane trading Terminal.

The functions and named-tuple types come from the native module
``quorvane._core``; see the README for a tour. ``terminal_path()`` gives the
bundled simulated Terminal, which ``initialize(terminal_path())`` starts.
"""

from importlib import resources as _resources

from . import _core
from ._core import *  # noqa: F401,F403  (the module's functions and types)

__all__ = [name for name in dir(_core) if not name.startswith("_")]
__all__ += ["terminal_path"]

try:  # the Terminal's enumerations, when the package ships them
    from .constants import *  # noqa: F401,F403
    from . import constants as _constants

    __all__ += list(getattr(_constants, "__all__", []))
except ImportError:  # pragma: no cover
    pass


def terminal_path() -> str:
    """Path of the bundled ``terminal64`` program."""
    return str(_resources.files(__name__) / "bin" / "terminal64")
