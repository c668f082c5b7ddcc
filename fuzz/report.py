#!/usr/bin/env python3
"""Writes docs/reliability.md from the outputs of the sanitizer and fuzz jobs.

Reads (defaults are where `bash .ci/run sanitize fuzz` leaves them):
  build/ci-logs/sanitize-pytest.xml   pytest's JUnit XML, run against the
                                      ASan+UBSan build
  build/ci-logs/sanitize-ctest.xml    ctest's JUnit XML of the same build
  build/ci-logs/sanitize-reports/     sanitizer reports of every process
  build/ci-logs/fuzz/                 <target>.log (libFuzzer's final stats)
                                      and findings/<target>/

Every test case is put in one fault class by its name (first matching rule
below); the table counts the cases and their outcomes. Nothing in the
document is written by hand.

Usage: fuzz/report.py [--logs DIR] [--out FILE]
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from collections import OrderedDict
from datetime import datetime, timezone
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# (fault class, pattern on the test's name): the first match wins.
FAULT_CLASSES = [
    ("Malformed, truncated or over-long replies from the Terminal",
     r"failed_reply_keeps|over_long_reply|hostile_text_count|truncated_reply|outcome_mapping"
     r"|positive_result_code|terminal_refusals|result_codes_and_messages"),
    ("Connection lost before or during a call",
     r"connection_lost|peer_gone|killed_mid_session|disconnect_mid_frame|client_leaving|without_connection"),
    ("Arguments the module must refuse",
     r"rejected_|rejects_arguments|refuse_arguments|keywords_are_refused|str_subclass"
     r"|last_error_is_read_only|foreign_object"),
    ("Malformed or out-of-range requests to the Terminal",
     r"bad_frames|malformed_arguments|unknown_command|invalid_|negative_|unknown_symbol|extreme_"
     r"|absurd_range|large_bar_requests|response_limit|nothing_before|nothing_after|stops_at_now"),
    ("Refused handshake, login and readiness",
     r"refused|readiness_timeout|authorization_failed|failed_login|incompatible"),
    ("Terminal launch and discovery failures",
     r"not_an_executable|never_listens|never_opens|no_roaming|no_installed|unusable|nothing_usable"
     r"|unsafe_endpoint|undecodable|non_ascii_path|stale_endpoint|second_copy"),
    ("Malformed settings and command lines",
     r"malformed_option|malformed_settings|malformed_account|unknown_options"),
    ("Terminal killed (SIGKILL) while trading, then restarted",
     r"sigkill"),
    ("Calls from many threads, interrupted calls, stalls, reconnects and restarts during a watch",
     r"threads_storm|end_a_waiting_call|others_run|stall_is_reported|lose_nothing_across|not_sent_again"
     r"|reconnects_restores"),
    ("Concurrent, stalled and many clients; memory ownership",
     r"stalled_client|many_clients|several_clients|in_one_write|seen_by_every_client"
     r"|released_arrays|reference_count"),
]
ORDINARY = "Ordinary behaviour (no fault injected)"

# What each fuzz target feeds and to what.
FUZZ_TARGETS = OrderedDict([
    ("reply", "arbitrary reply bytes to the module's stream and every reply reader"),
    ("group", "arbitrary group masks and names; checked against a reference matcher"),
    ("terminal", "arbitrary request bodies to the Terminal's request handling"),
])


def classify(name: str) -> str:
    for title, pattern in FAULT_CLASSES:
        if re.search(pattern, name):
            return title
    return ORDINARY


def outcome_of(case: ET.Element) -> str:
    for tag, word in (("failure", "failed"), ("error", "failed"), ("skipped", "skipped")):
        if case.find(tag) is not None:
            return word
    if case.get("status") in ("notrun", "disabled"):
        return "skipped"
    return "passed"


def read_cases(path: Path) -> list[tuple[str, str, str]]:
    """(file, test name, outcome) of every test case in a JUnit XML file."""
    if not path.is_file():
        return []
    cases = []
    for case in ET.parse(path).getroot().iter("testcase"):
        cases.append((case.get("classname") or "", case.get("name") or "", outcome_of(case)))
    return cases


def outcome_text(counts: dict[str, int]) -> str:
    parts = [f"{n} {word}" for word, n in counts.items() if n]
    verdict = "**FAIL**" if counts.get("failed") else "pass"
    return f"{verdict} ({', '.join(parts)})" if parts else "not run"


def fuzz_stats(log: Path) -> dict[str, str]:
    stats: dict[str, str] = {}
    if not log.is_file():
        return stats
    text = log.read_text(errors="replace")
    for key in ("number_of_executed_units", "peak_rss_mb", "new_units_added"):
        m = re.search(rf"^stat::{key}:\s*(\d+)", text, re.M)
        if m:
            stats[key] = m.group(1)
    m = re.search(r"INFO: seed corpus: files: (\d+)", text)
    if m:
        stats["seeds"] = m.group(1)
    done = re.findall(r"^#\d+\s+DONE\s+cov: (\d+) ft: (\d+) corp: (\d+)", text, re.M)
    if done:
        stats["cov"], stats["ft"], stats["corp"] = done[-1]
    m = re.search(r"Done (\d+) runs in (\d+) second", text)
    if m:
        stats["seconds"] = m.group(2)
    return stats


def git_commit() -> str:
    try:
        return subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%h %s"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--logs", type=Path, default=ROOT / "build" / "ci-logs")
    ap.add_argument("--out", type=Path, default=ROOT / "docs" / "reliability.md")
    args = ap.parse_args()
    logs: Path = args.logs

    pytest_cases = read_cases(logs / "sanitize-pytest.xml")
    ctest_cases = read_cases(logs / "sanitize-ctest.xml")
    if not pytest_cases and not ctest_cases:
        print(f"report.py: no test results under {logs}; run `bash .ci/run sanitize fuzz` first", file=sys.stderr)
        return 1

    rows: "OrderedDict[str, dict]" = OrderedDict((t, {}) for t, _ in FAULT_CLASSES)
    rows[ORDINARY] = {}
    where: dict[str, set[str]] = {t: set() for t in rows}
    for classname, name, outcome in pytest_cases:
        title = classify(name.split("[", 1)[0])
        rows[title][outcome] = rows[title].get(outcome, 0) + 1
        where[title].add(classname.rsplit(".", 1)[-1])

    out: list[str] = []
    out.append("# Reliability report")
    out.append("")
    out.append("Generated by `fuzz/report.py` from the outputs of the `sanitize` and `fuzz` CI jobs")
    out.append("(`bash .ci/run sanitize fuzz`); do not edit by hand.")
    out.append("")
    out.append(f"- Commit: {git_commit()}")
    out.append(f"- Generated: {datetime.now(timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}")
    out.append("- Build: module, Terminal and C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer;")
    out.append("  every report is fatal; leak checks on for the C++ tests")
    out.append("")
    out.append("## Fault classes tried by the test suite under the sanitizers")
    out.append("")
    out.append("Each pytest case (a parametrized row counts as one case) runs against the sanitized")
    out.append("module and the sanitized Terminal.")
    out.append("")
    out.append("| Fault class | Test files | Cases | Outcome |")
    out.append("|---|---|---:|---|")
    for title, counts in rows.items():
        total = sum(counts.values())
        if total == 0:
            continue
        files = ", ".join(f"`{f}`" for f in sorted(where[title]))
        out.append(f"| {title} | {files} | {total} | {outcome_text(counts)} |")
    if ctest_cases:
        counts: dict[str, int] = {}
        for _, _, outcome in ctest_cases:
            counts[outcome] = counts.get(outcome, 0) + 1
        names = ", ".join(f"`{n}`" for _, n, _ in ctest_cases)
        out.append(f"| C++ unit tests with leak checks (stream, records, group masks, market) | {names} "
                   f"| {len(ctest_cases)} | {outcome_text(counts)} |")

    reports_dir = logs / "sanitize-reports"
    reports = sorted(p for p in reports_dir.glob("*") if p.is_file() and p.stat().st_size) \
        if reports_dir.is_dir() else []
    out.append("")
    verdict = "none" if not reports else f"**{len(reports)}**: " + ", ".join(f"`{p.name}`" for p in reports)
    out.append(f"Sanitizer reports from any process of the run (module, Terminal, helpers): {verdict}.")
    out.append("")

    out.append("## Fuzzing (libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer)")
    out.append("")
    out.append("Seeds are real request and reply frames recorded from a session with the Terminal")
    out.append("(`fuzz/capture_seeds.py`), plus the regression inputs of earlier findings.")
    out.append("")
    out.append("| Target | Input | Seeds | Runs | Seconds | Coverage (edges) | Corpus after | Findings |")
    out.append("|---|---|---:|---:|---:|---:|---:|---|")
    fuzz_dir = logs / "fuzz"
    any_fuzz = False
    for target, what in FUZZ_TARGETS.items():
        s = fuzz_stats(fuzz_dir / f"{target}.log")
        findings_dir = fuzz_dir / "findings" / target
        findings = sorted(p.name for p in findings_dir.glob("*")) if findings_dir.is_dir() else []
        if not s:
            out.append(f"| `fuzz_{target}` | {what} | | | | | | not run |")
            continue
        any_fuzz = True
        found = "none" if not findings else f"**{len(findings)}**: " + ", ".join(findings)
        out.append(f"| `fuzz_{target}` | {what} | {s.get('seeds', '?')} | {s.get('number_of_executed_units', '?')} "
                   f"| {s.get('seconds', '?')} | {s.get('cov', '?')} | {s.get('corp', '?')} | {found} |")
    if not any_fuzz:
        out.append("")
        out.append("The fuzz job's logs were not found; run `bash .ci/run fuzz`.")

    regressions = sorted((ROOT / "fuzz" / "corpus").glob("*/regression-*"))
    out.append("")
    out.append("## Regression inputs")
    out.append("")
    if regressions:
        out.append("Inputs that once made a target fail; every fuzz run replays them first.")
        out.append("")
        for p in regressions:
            out.append(f"- `{p.relative_to(ROOT)}` ({p.stat().st_size} bytes)")
    else:
        out.append("None so far.")
    out.append("")

    out.append("## Reproducing")
    out.append("")
    out.append("```sh")
    out.append("bash .ci/run sanitize fuzz          # the runs this report is made from")
    out.append("fuzz/report.py                      # this document, from build/ci-logs/")
    out.append("fuzz/run.sh 600 reply               # one target for longer (findings: build/fuzz-out/findings/)")
    out.append("fuzz/capture_seeds.py build/dev/terminal64   # record the seed corpora again")
    out.append("```")
    out.append("")
    out.append("A finding is kept as `fuzz/corpus/<target>/regression-<what>` once mended, so every")
    out.append("later run replays it first.")
    out.append("")

    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text("\n".join(out))
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
