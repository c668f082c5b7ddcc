"""``python -m quorvane``: see ``python -m quorvane --help``."""

import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
