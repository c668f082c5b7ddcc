#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time.
#
# Usage: fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#   targets: reply group terminal (default: all); seconds default to 20.
# Environment:
#   QVN_FUZZ_BUILD  build folder (default build/fuzz)
#   QVN_FUZZ_OUT    logs, grown corpora and findings (default build/fuzz-out)
#
# Each target starts from the committed seeds in fuzz/corpus/<target>/ (the
# regression inputs of past findings among them, so they are replayed first)
# and adds what it finds to $QVN_FUZZ_OUT/corpus/<target>/, never to the
# committed corpus. A finding is written to $QVN_FUZZ_OUT/findings/<target>/
# and makes the script exit 1; <target>.log ends with libFuzzer's final stats.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/.." && pwd)"
BDIR="${QVN_FUZZ_BUILD:-$ROOT/build/fuzz}"
OUT="${QVN_FUZZ_OUT:-$ROOT/build/fuzz-out}"
SECONDS_PER_TARGET="${1:-20}"
shift || true
TARGETS=("$@")
(( ${#TARGETS[@]} )) || TARGETS=(reply group terminal)

command -v clang++ >/dev/null || { echo "fuzz/run.sh: clang++ is missing (Debian: apt-get install clang libclang-rt-14-dev)"; exit 2; }
CC=clang CXX=clang++ cmake -S "$HERE" -B "$BDIR" -G Ninja >/dev/null
cmake --build "$BDIR" -j2

# Longest input per target: a reply must be able to span several 16 KiB
# blocks; requests and group texts are short.
declare -A MAX_LEN=([reply]=70000 [group]=4096 [terminal]=4096)

status=0
for t in "${TARGETS[@]}"; do
  corpus="$OUT/corpus/$t" findings="$OUT/findings/$t" log="$OUT/$t.log"
  mkdir -p "$corpus" "$findings"
  rm -f "$findings"/*
  opts=(-max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
        -max_len="${MAX_LEN[$t]:-4096}" -artifact_prefix="$findings/")
  [[ -f "$HERE/$t.dict" ]] && opts+=(-dict="$HERE/$t.dict")
  echo "--> fuzz_$t for ${SECONDS_PER_TARGET}s (log: ${log#"$ROOT"/})"
  rc=0
  "$BDIR/fuzz_$t" "${opts[@]}" "$corpus" "$HERE/corpus/$t" >"$log" 2>&1 || rc=$?
  stats="$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)"
  found="$(find "$findings" -type f | wc -l)"
  echo "    exit $rc, ${stats:-?} runs, corpus $(find "$corpus" -type f | wc -l) grown units, $found finding(s)"
  if (( rc != 0 || found != 0 )); then
    status=1
    echo "!! fuzz_$t found a fault; the end of its log:"
    grep -v '^INFO' "$log" | tail -n 40 | sed 's/^/   | /'
    for f in "$findings"/*; do [[ -f "$f" ]] && echo "   finding: ${f#"$ROOT"/} ($(wc -c <"$f") bytes)"; done
  fi
done
exit "$status"
