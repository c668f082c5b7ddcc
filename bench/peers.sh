#!/bin/sh
# The peer backtesters bench/backtest_peers.py compares quorvane with, in a
# venv of their own: they are the benchmark's, never the product's
# dependencies. Versions are pinned so that runs compare alike.
#
#     sh bench/peers.sh [VENV]        (default: build/bench-venv)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
venv=${1:-$here/../build/bench-venv}
python=${PYTHON:-python3}
"$python" -m venv "$venv"
"$venv/bin/pip" install -q --disable-pip-version-check \
    backtrader==1.9.78.123 backtesting==0.6.6 pandas==3.1.2 numpy==2.4.6 bokeh==3.9.2
