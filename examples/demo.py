"""The guided tour of the connector: the same as ``python -m quorvane demo``.

Runs a private copy of the bundled Terminal in a temporary folder, shows the
account, symbols, Market Watch, Depth of Market, a paper trade, bars and
ticks, writes a PNG chart and stops that Terminal again.

    python examples/demo.py [--symbol SYMBOL] [--chart PATH]
"""

from __future__ import annotations

import sys

from quorvane._cli import main

if __name__ == "__main__":
    sys.exit(main(["demo", *sys.argv[1:]]))
