"""The command line: ``python -m quorvane demo`` and ``terminal start|stop|status|import``.

Exit codes: 0 success, 1 failure, 2 usage (``terminal status`` answers 1
when the Terminal is not running or does not answer within 10 s; ``terminal start`` answers 1 when a
Terminal already runs with other options than those asked for; ``terminal
import`` answers 1 when the data is refused, and then imports nothing).
"""

from __future__ import annotations

import argparse
import errno
import os
import shlex
import sys
from typing import Callable, Dict, List, Optional, Tuple

from . import _instance

DESCRIPTION = "Quorvane: the tour, and control of a Terminal for notebooks and scripts."

EPILOG = """\
examples:
  python -m quorvane demo                      the tour, with a chart in a temporary file
  python -m quorvane demo --chart eurusd.png --symbol EURUSD
  python -m quorvane terminal start            start the bundled Terminal in the background
  python -m quorvane terminal status
  python -m quorvane terminal stop
  python -m quorvane terminal import --symbol MYEUR --like EURUSD ticks.csv
"""


def _bundled() -> str:
    from . import terminal_path

    return terminal_path()


def _installation(path: Optional[str]) -> Optional[_instance.Installation]:
    exe = path or _bundled()
    if not os.path.isfile(exe):
        print(f"no Terminal program at {exe}", file=sys.stderr)
        return None
    try:
        return _instance.Installation.of(os.path.abspath(exe))
    except (OSError, ValueError) as e:
        print(f"cannot name the Terminal at {exe}: {e}", file=sys.stderr)
        return None


def _on_installation(command: Callable[[argparse.Namespace, _instance.Installation], int]
                     ) -> Callable[[argparse.Namespace], int]:
    """`command` run on the installation of the Terminal at --path (default:
    the bundled one); exit code 1 when there is none to name."""
    def run(args: argparse.Namespace) -> int:
        inst = _installation(args.path)
        return 1 if inst is None else command(args, inst)

    return run


# How long `terminal start` and `status` wait for the Terminal to answer the
# module's connection (initialize's timeout, in milliseconds).
_ANSWER_TIMEOUT_MS = 10000


def _connect(inst: _instance.Installation) -> Optional[Tuple[int, str]]:
    """Connects the module to the running Terminal: None once connected,
    else last_error(). A Terminal that accepts the connection but does not
    answer (stopped, hung) ends the wait at the timeout."""
    import quorvane as qv

    if qv.initialize(inst.executable, timeout=_ANSWER_TIMEOUT_MS):
        return None
    return qv.last_error()


def _describe_connection(inst: _instance.Installation, failure: Optional[Tuple[int, str]]) -> int:
    """Where the Terminal keeps its data and which account it is logged in
    to, over the module's connection that _connect made (then closed), or
    why there is none (`failure`)."""
    import quorvane as qv

    if failure is not None:
        code, text = failure
        print(f"  data folder  {inst.config_folder}")
        if code == -6:
            print("  account      none: it is logged in to no account; log in with "
                  "quorvane.initialize(path, login=..., password=..., server=...)")
            return 0
        if code == -10005:
            print(f"  account      unknown: the Terminal does not answer (no reply within "
                  f"{_ANSWER_TIMEOUT_MS // 1000} s)")
            return 1
        print(f"  account      unknown: {text} ({code})")
        return 1
    try:
        info = qv.terminal_info()
        account = qv.account_info()
        if info is not None:
            print(f"  data folder  {info.data_path}")
        if account is not None:
            print(f"  account      {account.login} on {account.server} ({account.name}), {account.currency}, "
                  f"balance {account.balance:.2f}")
    finally:
        qv.shutdown()
    return 0


def _shown(args: List[str]) -> str:
    return shlex.join(args) if args else "(none)"


def _options(args: List[str]) -> Dict[str, str]:
    """Command-line options as the Terminal applies them: "--key=value" and
    "--key value" alike, "1" for an option without a value, the last one of
    a key winning; "/portable" counts, other words are ignored. Both sides
    of a comparison go through this, so two spellings compare equal when
    they mean the same here, whatever the Terminal knows of the keys."""
    out: Dict[str, str] = {}
    i = 0
    while i < len(args):
        arg = args[i]
        i += 1
        if arg == "/portable":
            out[arg] = "1"
            continue
        if not arg.startswith("--"):
            continue
        name, eq, value = arg.partition("=")
        if not eq:
            value = "1"
            if i < len(args) and not args[i].startswith("--") and args[i] != "/portable":
                value = args[i]
                i += 1
        out[name] = value
    return out


def _stepped_now(inst: _instance.Installation) -> Optional[int]:
    """Where a stepped clock stands: the Terminal's own clock command, asked
    not to move; None when it does not answer."""
    from .backtest._clock import Clock, ClockError

    try:
        with Clock(inst.endpoint, []) as control:
            return control.step(0)[0]
    except ClockError:
        return None


def _describe_run(found: Optional[_instance.Running], inst: _instance.Installation, answers: bool = True) -> None:
    """The options and market clock a running Terminal published; where a
    stepped clock stands only when the Terminal `answers` (the question
    would wait for one that does not)."""
    if found is None or found.clock is None or found.args is None:
        print("  options      unknown (it has not published them)")
        return
    print(f"  options      {_shown(found.args)}")
    stepped = _stepped_now(inst) if answers and found.clock.mode == "stepped" else None
    print(f"  clock        {found.clock.describe(stepped_ms=stepped)}")


def _stop_command(args: argparse.Namespace) -> str:
    return "python -m quorvane terminal stop" + ("" if args.path is None else f" --path {shlex.quote(args.path)}")


def _already_running(inst: _instance.Installation, pid: int, asked: List[str], args: argparse.Namespace) -> int:
    """A Terminal runs already: fine when nothing particular was asked for
    or it runs with the options asked for; otherwise says how it differs."""
    found = _instance.published(inst, pid)
    print(f"Terminal {inst.executable} is already running (pid {pid})")
    answers = True
    if found is not None and found.clock is not None and found.clock.mode == "stepped":
        import quorvane as qv

        answers = _connect(inst) is None  # before asking its clock, which waits long for a reply
        qv.shutdown()
    _describe_run(found, inst, answers)
    if not asked:
        return 0
    if found is None or found.args is None:
        print(f"cannot tell whether it runs with the options asked for ({_shown(asked)})", file=sys.stderr)
        return 1
    if _options(found.args) != _options(asked):
        print(f"it runs with other options than those asked for:\n"
              f"  running    {_shown(found.args)}\n"
              f"  asked for  {_shown(asked)}\n"
              f"stop it first ({_stop_command(args)}) to start it with these", file=sys.stderr)
        return 1
    return 0


@_on_installation
def cmd_start(args: argparse.Namespace, inst: _instance.Installation) -> int:
    options: List[str] = [o for o in args.options if o != "--"]
    asked = (["/portable"] if args.portable else []) + options
    pid = _instance.running_pid(inst)
    if pid is not None:
        return _already_running(inst, pid, asked, args)
    print(f"Starting the Terminal {inst.executable} ...", flush=True)
    try:
        pid = _instance.start_detached(inst, portable=args.portable, args=options)
    except _instance.StartError as e:
        print(f"cannot start it: {e}", file=sys.stderr)
        return 1
    print(f"Terminal {inst.executable} is running (pid {pid})")
    print(f"  endpoint     {inst.endpoint}")
    published = _instance.published(inst, pid)
    failure = _connect(inst)
    _describe_run(published, inst, answers=failure is None)
    code = _describe_connection(inst, failure)
    target = "quorvane.terminal_path()" if args.path is None else repr(inst.executable)
    print(f"Connect with quorvane.initialize({target}); stop it with: {_stop_command(args)}")
    return code


@_on_installation
def cmd_status(args: argparse.Namespace, inst: _instance.Installation) -> int:
    found = _instance.running(inst)
    if found is None:
        print(f"Terminal {inst.executable} is not running")
        print(f"  endpoint     {inst.endpoint} (when running)")
        print(f"  data folder  {inst.config_folder}")
        return 1
    print(f"Terminal {inst.executable} is running (pid {found.pid})")
    print(f"  endpoint     {inst.endpoint}")
    failure = _connect(inst)
    _describe_run(found, inst, answers=failure is None)
    return _describe_connection(inst, failure)


@_on_installation
def cmd_stop(args: argparse.Namespace, inst: _instance.Installation) -> int:
    pid = _instance.running_pid(inst)
    if pid is None:
        stale = _instance.stale_pid(inst)
        note = f" (its pid file names pid {stale}, which no Terminal holds: left alone)" if stale else ""
        print(f"Terminal {inst.executable} is not running; nothing to stop{note}")
        return 0
    print(f"Stopping the Terminal {inst.executable} (pid {pid}) ...", flush=True)
    if not _instance.stop(pid, inst, timeout=args.timeout):
        print(f"it is still running (pid {pid}) after {args.timeout:g} s", file=sys.stderr)
        return 1
    print("stopped")
    return 0


def cmd_import(args: argparse.Namespace) -> int:
    import time

    from .backtest._tickdata import TickDataError, describe, import_ticks

    if args.folder is not None:
        folder, inst = args.folder, None
    else:
        inst = _installation(args.path)
        if inst is None:
            return 1
        folder = inst.config_folder
    overrides = {key: getattr(args, key) for key in ("digits", "contract_size", "currency_base", "currency_profit",
                                                     "currency_margin", "description")}
    started = time.perf_counter()
    try:
        done = import_ticks(folder, args.symbol, list(args.files), like=args.like, **overrides)
    except (TickDataError, ValueError, ImportError, OSError) as e:
        print(f"nothing imported: {e}", file=sys.stderr)
        return 1
    print(describe(done, args.symbol, time.perf_counter() - started))
    if inst is not None and _instance.running_pid(inst) is not None:
        print(f"The Terminal {inst.executable} is running: it serves {args.symbol} from its next start.")
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    from ._demo import run

    return run(symbol=args.symbol, chart=args.chart)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m quorvane", description=DESCRIPTION, epilog=EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", metavar="{demo,terminal}")

    demo = commands.add_parser(
        "demo", help="a guided tour against a private copy of the bundled Terminal",
        description="Runs a private copy of the bundled Terminal in a temporary folder (your own Terminals "
                    "and their data are not touched) and tours the API: account, symbols, Market Watch, "
                    "Depth of Market, a paper trade, bars, ticks and a chart. The copy is stopped and "
                    "removed at the end.")
    demo.add_argument("--symbol", default="EURUSD", help="the symbol to trade and chart (default: EURUSD)")
    demo.add_argument("--chart", metavar="PATH",
                      help="where to write the PNG chart (default: a new file in the temporary folder)")
    demo.set_defaults(run=cmd_demo)

    terminal = commands.add_parser("terminal", help="start, stop or inspect a Terminal",
                                   description="Controls a Terminal: the bundled one, or the program at --path.")
    terminal.set_defaults(group=terminal)
    actions = terminal.add_subparsers(dest="action", metavar="{start,status,stop,import}")
    path_help = "the Terminal program (default: the bundled one)"

    def on_terminal(name: str, run: Callable[[argparse.Namespace], int], summary: str,
                    description: str) -> argparse.ArgumentParser:
        command = actions.add_parser(name, help=summary, description=description)
        command.add_argument("--path", metavar="EXE", help=path_help)
        command.set_defaults(run=run)
        return command

    start = on_terminal(
        "start", cmd_start, "start it in the background and wait until it answers",
        "Starts the Terminal detached from this shell and waits until it answers. Options after "
        "'--' go to the Terminal (e.g. -- --clock 2026-01-05T08:00:00Z --speed 60). When it runs "
        "already, says so and exits 0; but with exit code 1 if options (or --portable) were "
        "asked for and it runs with others.")
    start.add_argument("--portable", action="store_true",
                       help="keep its settings and trades beside the program (portable installation)")
    start.add_argument("options", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    on_terminal("status", cmd_status, "whether it runs: pid, options, clock, data folder, account",
                "Says whether the Terminal runs, with its pid, endpoint, options, market clock, data folder "
                "and account. Exit code 1 when it is not running, or does not answer within 10 s.")
    stop = on_terminal("stop", cmd_stop, "stop it and wait until it has ended",
                       "Stops the Terminal through its pid file and waits until its process has ended (exit "
                       "code 1 if it has not within the timeout). A pid file that no running Terminal holds is "
                       "left alone.")
    stop.add_argument("--timeout", metavar="SECONDS", type=float, default=20.0,
                      help="how long to wait for it to end (default: 20)")
    imports = actions.add_parser(
        "import", help="import your own ticks as a custom symbol",
        description="Imports ticks from CSV or Parquet files (columns time_msc in UTC milliseconds, bid, ask, and "
                    "optionally last and volume; several files are joined in order) as the custom symbol --symbol "
                    "into a Terminal's files folder: that of the Terminal program at --path (default: the bundled "
                    "one), or the folder --folder (for quorvane.backtest.run(..., data=FOLDER)). Its properties are "
                    "those of the catalogue symbol --like, with the overrides given. Everything is checked first: "
                    "the first fault is named with its file and line, and then nothing is imported. A running "
                    "Terminal serves the symbol from its next start.")
    imports.add_argument("--symbol", required=True, metavar="NAME", help="the new symbol's name")
    imports.add_argument("--like", required=True, metavar="SYMBOL", help="the catalogue symbol to copy, e.g. EURUSD")
    where = imports.add_mutually_exclusive_group()
    where.add_argument("--path", metavar="EXE", help=path_help)
    where.add_argument("--folder", metavar="DIR", help="a files folder of your own instead (made if missing)")
    imports.add_argument("--digits", type=int, help="price digits (the tick size follows)")
    imports.add_argument("--contract-size", type=float, help="units in one lot")
    for side in ("base", "profit", "margin"):
        imports.add_argument(f"--currency-{side}", metavar="CODE", help=f"the {side} currency")
    imports.add_argument("--description", help="the symbol's description")
    imports.add_argument("files", nargs="+", metavar="FILE", help="CSV (.csv) or Parquet (.parquet) files")
    imports.set_defaults(run=cmd_import)
    return top


def main(argv: Optional[List[str]] = None) -> int:
    top = parser()
    args = top.parse_args(argv)
    run = getattr(args, "run", None)
    if run is None:
        # A group named without its command: that group's usage, exit code 2.
        group: argparse.ArgumentParser = getattr(args, "group", None) or top
        group.error("a command is required")
    try:
        code: int = run(args)
        sys.stdout.flush()
    except OSError as e:
        # The reader went away (`... | head -2`; on Windows a write to a
        # closed pipe fails with EINVAL): what it did not read is not
        # wanted, and Python must not complain when it flushes at exit.
        if not (isinstance(e, BrokenPipeError) or (sys.platform == "win32" and e.errno == errno.EINVAL)):
            raise
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 1
    return code
