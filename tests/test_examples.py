"""Every example script runs to its end against the bundled Terminal, in a
process of its own, with bounded arguments; and the README's examples that
use a Terminal run one after another on one machine's folders, in an order
that once locked the later ones out. The demo and its chart are tested
elsewhere."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import host
import pytest
from bundled import MOVING, NOW, running_terminal

import quorvane as qv

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


# ---- the README's examples, one after the other on one machine --------------

README = EXAMPLES.parent / "README.md"


def readme_examples() -> dict[str, str]:
    """The README's runnable examples that use a Terminal: the Quick start
    (the first ```python block under the heading "## Quick start"), the
    threads and sessions example (the first ```python block that opens a
    `qv.session(`) and the Terminal options of the command-line example (the
    first inline code span that starts with `-- --clock `)."""
    text = README.read_text(encoding="utf-8")
    quick = re.search(r"^## Quick start\n.*?^```python\n(.*?)^```", text, re.S | re.M).group(1)
    threads = next(b for b in re.findall(r"^```python\n(.*?)^```", text, re.S | re.M) if "qv.session(" in b)
    options = re.search(r"`-- (--clock [^`]+)`", text).group(1)
    return {"quick start": quick, "threads": threads, "clock options": " ".join(options.split())}


def test_readme_examples_run_one_after_another(private_folders, terminal_binary, core):
    """A machine where every example ran before: the Terminal's data and
    runtime folders are shared by all the steps, the wall-clock Quick start
    trades first, then the command-line example starts a Terminal on an
    earlier, moving clock (twice, trading in between), and the wall clock
    comes back last."""
    examples = readme_examples()
    exe = private_folders / "terminal" / host.TERMINAL_NAME
    exe.parent.mkdir()
    host.copy_file(terminal_binary, exe)
    # Each example runs as written, but starts this copy of the Terminal (so
    # the test's clean-up finds it), waits one second where it would watch
    # for longer, and downloads an hour of ticks rather than a year.
    prelude = (
        "import quorvane\n"
        f"quorvane.terminal_path = lambda: {str(exe)!r}\n"
        "_copy_ticks_range = quorvane.copy_ticks_range\n"
        "quorvane.copy_ticks_range = lambda s, a, b, f: _copy_ticks_range(s, a, min(b, a + 3600), f)\n")

    def python(name: str) -> None:
        code = re.sub(r"\bduration=\d+", "duration=1", examples[name])
        done = subprocess.run([sys.executable, "-c", prelude + code], capture_output=True, text=True,
                              timeout=180, cwd=private_folders)
        assert done.returncode == 0, (name, done.stdout[-2000:], done.stderr[-2000:])

    def terminal(*args: str) -> str:
        done = subprocess.run([sys.executable, "-m", "quorvane", "terminal", args[0], "--path", str(exe),
                               *args[1:]], capture_output=True, text=True, timeout=180, cwd=private_folders)
        assert done.returncode == 0, (args, done.stdout + done.stderr)
        return done.stdout

    def account() -> tuple:
        """The running Terminal's account: open positions, and its deals'
        types and times."""
        assert core.initialize(str(exe)), core.last_error()
        try:
            return core.positions_total(), [(d.type, d.time) for d in core.history_deals_get(0, 2**31 - 1)]
        finally:
            core.shutdown()

    clock = examples["clock options"].split()
    assert clock[:2] == ["--clock", "2026-01-05T08:00:00Z"]  # a Monday morning, before any wall clock now
    monday, tuesday = 1_767_600_000, 1_767_600_000 + 86400
    # The wall clock: whether its market is open or not, the account's
    # first use is stored at the wall clock's time.
    python("quick start")
    for _ in range(2):
        terminal("stop")
        assert "clock        moving from 2026-01-05 08:00:00 UTC at 60x" in terminal("start", "--", *clock)
        python("quick start")
        python("threads")
        # A store of its own, new each time: the deposit, the Quick start's
        # buy and its close, on Monday morning.
        positions, deals = account()
        assert (positions, [kind for kind, _ in deals]) == (0, [qv.DealType.BALANCE, qv.DealType.BUY,
                                                                qv.DealType.SELL]), deals
        assert all(monday <= t < tuesday for _, t in deals), deals
    terminal("stop")
    python("quick start")
    # Back on the wall clock, its account holds only its own deals.
    positions, deals = account()
    assert positions == 0 and deals and all(t > tuesday for _, t in deals), deals
