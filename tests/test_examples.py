"""Every example script runs to its end against the bundled Terminal, in a
process of its own, with bounded arguments. The demo and its chart are
tested elsewhere."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from bundled import MOVING, NOW, running_terminal

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
TESTED_ELSEWHERE = {"demo.py", "chart.py"}

# Runs of each example: arguments beyond --terminal, and what the output
# must show; an example not listed runs with its defaults, which must end by
# themselves.
RUNS = {
    "history_to_parquet.py": [
        (["--bars", "50", "--ticks", "300", "--out", "{tmp}/pq"],
         [r"50 bars -> .*EURUSD_H1\.parquet", r"\d+ ticks -> .*EURUSD_ticks\.parquet"]),
    ],
    "live_ticks.py": [(["--seconds", "2"], [r"\d{2}:\d{2}:\d{2}\.\d{3}  EURUSD +bid 1\.\d{5}",
                                            r"ticks seen: EURUSD [1-9]\d*, BTCUSD [1-9]\d*"])],
    "ma_crossover.py": [
        (["--seconds", "3", "--poll", "0.05"], [r"\d+ deals; balance \d+\.\d\d USD"]),
        # The same strategy, unchanged, as a backtest on a private Terminal.
        (["--backtest", "2026-01-12", "2026-01-13", "--symbol", "EURUSD", "--timeframe", "M15",
          "--chart", "{tmp}/equity.png"],
         [r"EURUSD M15, SMA 5/20, 0\.01 lots, 2026-01-12 to 2026-01-13: 96 bars\n",
          r"\n\d+ deals; balance \d+\.\d\d USD\n"]),
    ],
}
# Optional libraries: any one of the groups is enough.
NEEDS = {"history_to_parquet.py": [("pandas", "pyarrow"), ("polars",)]}
SCRIPTS = sorted(p.name for p in EXAMPLES.glob("*.py") if p.name not in TESTED_ELSEWHERE)


@pytest.mark.parametrize("script, arguments, shown", [
    (script, *run) for script in SCRIPTS for run in RUNS.get(script, [([], [])])])
def test_example_runs_to_its_end(script, arguments, shown, private_folders, terminal_binary, core):
    groups = NEEDS.get(script, [()])
    if not any(all(importlib.util.find_spec(m) for m in group) for group in groups):
        pytest.skip(f"{script} needs " + " or ".join(" with ".join(g) for g in groups))
    # Five market minutes a second: the live examples see ticks and bars at
    # once. The Terminal runs before the example starts, so the example
    # connects to it rather than starting one without these options.
    with running_terminal(private_folders, terminal_binary, core, *MOVING) as exe:
        arguments = [a.format(tmp=private_folders) for a in arguments]
        env = dict(os.environ, TMPDIR=str(private_folders))  # where a backtest's Terminal goes
        # The timeout only guards against a hang; the scripts end by themselves.
        command = [sys.executable, str(EXAMPLES / script), "--terminal", str(exe), *arguments]
        done = subprocess.run(command, capture_output=True, text=True, timeout=300,
                              cwd=private_folders, env=env)
        assert done.returncode == 0, done.stderr
        for pattern in shown:
            assert re.search(pattern, done.stdout), (pattern, done.stdout[-2000:])
        assert core.positions_get() == ()  # what it opened, it closed
        assert not list(private_folders.glob("quorvane-backtest-*"))
        if script == "history_to_parquet.py":  # the bar file holds the bars the Terminal serves
            bars = core.copy_rates_range("EURUSD", 60, NOW - 50 * 3600, NOW + 86400)
            if importlib.util.find_spec("polars"):
                import polars as pl

                saved = pl.read_parquet(private_folders / "pq" / "EURUSD_H1.parquet")
                assert saved.schema["time"].time_zone == "UTC"
                opens = saved["time"].dt.epoch("s").to_list()
            else:
                import pandas as pd

                saved = pd.read_parquet(private_folders / "pq" / "EURUSD_H1.parquet")
                assert str(saved["time"].dt.tz) == "UTC"
                opens = [int(t.timestamp()) for t in saved["time"]]
            assert len(opens) == 50 and set(opens) <= set(bars["time"].tolist())
            # The newest bar was still in progress when saved; the others are final.
            closes = saved["close"].to_list()[:-1]
            assert closes == [float(bars["close"][bars["time"] == t][0]) for t in opens[:-1]]
