# The fuzz job: the libFuzzer targets in fuzz/ built with clang, each run
# for a bounded time from its committed seeds (regression inputs included).
# Any finding fails the job.
# shellcheck shell=bash

FUZZ_SECONDS_PER_TARGET="${QVN_CI_FUZZ_SECONDS:-20}"

job_fuzz() {
  ensure_clang
  ensure_venv "$VENV_SANITIZE"   # only for cmake and ninja, should the machine lack them
  ensure_build_tools "$VENV_SANITIZE"
  say "$(clang++ --version | head -n 1); ${FUZZ_SECONDS_PER_TARGET}s per target"
  local out="$LOGS/fuzz" rc=0
  rm -rf "$out"
  QVN_FUZZ_BUILD="$BUILD/ci-fuzz" QVN_FUZZ_OUT="$out" \
    bash "$ROOT/fuzz/run.sh" "$FUZZ_SECONDS_PER_TARGET" || rc=$?
  local t runs
  for t in reply group terminal; do
    runs="$(awk '/^stat::number_of_executed_units/ { print $2 }' "$out/$t.log" 2>/dev/null || true)"
    note fuzz "fuzz_$t: ${runs:-?} runs, $(find "$out/findings/$t" -type f 2>/dev/null | wc -l) finding(s)"
  done
  # With the sanitizer job's results at hand, the reliability report of this
  # run goes next to the logs (docs/reliability.md is the committed copy).
  if [[ -f "$LOGS/sanitize-pytest.xml" ]]; then
    "$PY" "$ROOT/fuzz/report.py" --logs "$LOGS" --out "$LOGS/reliability.md" || say "!! the report could not be written"
  fi
  (( rc == 0 )) || fail "a fuzz target found a fault (inputs under ${out#"$ROOT"/}/findings)"
}
