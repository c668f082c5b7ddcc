# Shared settings and helpers of the CI jobs; sourced by .ci/run.
# shellcheck shell=bash

export LC_ALL=C.UTF-8 PYTHONUNBUFFERED=1 PYTHONDONTWRITEBYTECODE=1
export DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1
case ":$PATH:" in *:/usr/sbin:*) ;; *) PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin" ;; esac

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build"
LOGS="$BUILD/ci-logs"
VENV_NP2="$BUILD/ci-venv-py311-np2"
VENV_NP126="$BUILD/ci-venv-py311-np126"
VENV_SANITIZE="$BUILD/ci-venv-sanitize"   # sanitizer job; its cmake and ninja serve the fuzz job
WHEEL_DIST="$BUILD/ci-wheel/dist"

# Caps so that a hang cannot eat the 90-minute CI budget. `timeout` runs in
# --foreground mode so that it stays in our process group and a signal to the
# pipeline reaches what it runs.
PYTEST_TIMEOUT=1200
CTEST_TEST_TIMEOUT=300

RULE="================================================================"

# ---------------------------------------------------------------- utilities

say()     { printf '%s\n' "$*"; }
step()    { printf -- '--> %s\n' "$*"; }
section() { printf '\n%s\n== %s\n%s\n' "$RULE" "$*" "$RULE"; }
loud() {
  printf '\n%s\n' '!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!'
  printf '!!! %s\n' "$@"
  printf '%s\n\n' '!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!'
}
fail() { printf '!! ERROR: %s\n' "$*"; return 1; }

# quiet NAME CMD...: run a noisy command with its output in build/ci-logs/NAME.log;
# on failure show the end of that log.
quiet() {
  local log="$LOGS/$1.log" rc=0
  shift
  step "$* (log: ${log#"$ROOT"/})"
  "$@" >"$log" 2>&1 || rc=$?
  if (( rc != 0 )); then
    say "!! command failed with exit code $rc: $*"
    say "!! last 150 lines of $log:"
    tail -n 150 "$log" | sed 's/^/   | /'
  fi
  return "$rc"
}

# note KIND TEXT: remember a line for the final summary (jobs run in subshells).
note() { printf '%s|%s\n' "$1" "$2" >>"$JOB_NOTES"; }

# junit_counts XML: "PASSED FAILED SKIPPED" from a JUnit XML report, pytest's
# or ctest's: a test case holding a failure or an error failed, one holding a
# skip was skipped, any other passed. Nothing is printed for a missing or
# unreadable report.
junit_counts() {
  "$PY" - "$1" <<'EOF' 2>/dev/null || true
import sys, xml.etree.ElementTree as ET
counts = [0, 0, 0]
for case in ET.parse(sys.argv[1]).iter("testcase"):
    tags = {child.tag for child in case}
    counts[1 if tags & {"failure", "error"} else 2 if "skipped" in tags else 0] += 1
print(*counts)
EOF
}

# run_pytest LABEL CMD...: run pytest with its output shown and logged, its
# JUnit XML in build/ci-logs/LABEL.xml for the summary. Exit 5 (nothing
# collected) is a failure: the suite must run tests.
run_pytest() {
  local log="$LOGS/$1.log" xml="$LOGS/$1.xml" rc=0
  shift
  rm -f "$xml"
  step "$*"
  timeout --foreground --kill-after=30 "$PYTEST_TIMEOUT" "$@" --junitxml="$xml" 2>&1 | tee "$log" || rc=$?
  note pytest "$xml"
  case $rc in
    0) ;;
    5) loud "pytest collected no tests (exit 5): the suite must run tests" ;;
    124|137) loud "pytest did not finish within ${PYTEST_TIMEOUT}s and was stopped" ;;
    *) say "!! pytest failed with exit code $rc" ;;
  esac
  return "$rc"
}

# run_ctest LABEL BUILD_DIR: the C++ unit tests of a CMake build dir, their
# JUnit XML in build/ci-logs/LABEL.xml.
run_ctest() {
  local bdir=$2 log="$LOGS/$1.log" xml="$LOGS/$1.xml" rc=0
  rm -f "$xml"
  step "ctest --test-dir ${bdir#"$ROOT"/}"
  ctest --test-dir "$bdir" --output-on-failure --no-tests=error \
        --timeout "$CTEST_TEST_TIMEOUT" --output-junit "$xml" 2>&1 | tee "$log" || rc=$?
  note ctest "$xml"
  (( rc == 0 )) || say "!! ctest failed with exit code $rc"
  return "$rc"
}

# ensure_venv DIR: a venv of $PY, reused while it still runs the same Python.
ensure_venv() {
  local venv=$1 want have=""
  want="$("$PY" -c 'import sys; print(sys.version)')"
  if [[ -x "$venv/bin/python" ]]; then
    have="$("$venv/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null || true)"
  fi
  if [[ -n "$have" && "$have" == "$want" ]]; then
    step "reusing venv ${venv#"$ROOT"/}"
    return 0
  fi
  rm -rf "$venv"
  quiet "venv-$(basename "$venv")" "$PY" -m venv "$venv"
}

# show_numpy PYTHON [MAJOR]: print NumPy's version; fail if it is not MAJOR.x.
show_numpy() {
  local py=$1 major=${2:-} v
  v="$("$py" -c 'import numpy; print(numpy.__version__)')" || fail "numpy does not import in $py"
  say "numpy.__version__ = $v   ($py)"
  if [[ -n "$major" && "${v%%.*}" != "$major" ]]; then
    fail "expected NumPy $major.x, found $v"
  fi
}

# ensure_build_tools VENV: cmake and ninja on PATH (the machine has them; a
# machine without them gets PyPI's builds inside the venv).
ensure_build_tools() {
  local venv=$1 missing=()
  cmake --version >/dev/null 2>&1 || missing+=(cmake)
  ninja --version >/dev/null 2>&1 || missing+=(ninja)
  if (( ${#missing[@]} )); then
    quiet build-tools "$venv/bin/python" -m pip install "${missing[@]}"
    export PATH="$venv/bin:$PATH"
  fi
  say "$(cmake --version | head -n 1); ninja $(ninja --version); $(g++ --version | head -n 1)"
}

# check_sqlite PROGRAM: the built Terminal carries the SQLite release of
# third_party/sqlite (its source id), not some other copy on the machine.
check_sqlite() {
  local id
  id="$(sed -n 's/^#define SQLITE_SOURCE_ID *"\(.*\)"$/\1/p' "$ROOT/third_party/sqlite/sqlite3.h")"
  if [[ -z "$id" ]] || ! grep -qF "$id" "$1"; then
    fail "$(basename "$1") does not carry SQLite '$id' of third_party/sqlite"
    return 1
  fi
  say "$(basename "$1") carries SQLite $id"
}

APT_UPDATED=0
apt_update_once() {
  (( APT_UPDATED )) && return 0
  APT_UPDATED=1
  # A failing third-party source must not block Debian's own packages: the
  # install that follows tells whether what we need is reachable.
  quiet apt-update apt-get update || say "!! apt-get update reported errors; trying the install anyway"
}

# clang with its libFuzzer and sanitizer runtimes; installed from Debian's
# packages only when missing.
ensure_clang() {
  local probe="$BUILD/ci-clang-probe"
  mkdir -p "$probe"
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
  if command -v clang++ >/dev/null 2>&1 \
     && clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1; then
    return 0
  fi
  apt_update_once
  local v
  v="$(apt-cache policy clang 2>/dev/null | awk '/Candidate:/ { print $2 }' | sed -E 's/^[0-9]+://; s/[.-].*//')"
  [[ "$v" =~ ^[0-9]+$ ]] || { loud "Debian offers no clang package: the sanitizer and fuzz jobs cannot run"; return 1; }
  quiet apt-clang apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 clang "libclang-rt-$v-dev" \
    || { loud "could not install clang $v and libclang-rt-$v-dev: the sanitizer and fuzz jobs cannot run"; return 1; }
  clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    || { loud "clang++ cannot link a libFuzzer target even after installing it"; return 1; }
}

# ------------------------------------------------------------------ driver

JOB_IDS=()
declare -A JOB_TITLE=() JOB_STATUS=() JOB_TIME=()
FAILED=0

# run_job ID TITLE FUNCTION ARGS...: one job in a subshell with errexit on.
run_job() {
  local id=$1 title=$2
  shift 2
  JOB_IDS+=("$id")
  JOB_TITLE[$id]=$title
  if (( FAILED )) && [[ "${QVN_CI_KEEP_GOING:-0}" != 1 ]]; then
    JOB_STATUS[$id]=SKIP
    return 0
  fi
  section "[$id] $title"
  JOB_NOTES="$LOGS/notes-$id.txt"
  export JOB_NOTES
  : >"$JOB_NOTES"
  local t0=$SECONDS rc=0
  set +e
  ( set -e; "$@" )
  rc=$?
  set -e
  JOB_TIME[$id]=$((SECONDS - t0))
  if (( rc == 0 )); then
    JOB_STATUS[$id]=PASS
    say "== [$id] passed in ${JOB_TIME[$id]}s"
  else
    JOB_STATUS[$id]=FAIL
    FAILED=1
    say "!! [$id] FAILED (exit $rc) after ${JOB_TIME[$id]}s"
  fi
}

print_summary() {
  section "Summary"
  local id tp=0 tf=0 ts=0 kind text n p f k
  for id in "${JOB_IDS[@]}"; do
    local runners=""
    if [[ -s "$LOGS/notes-$id.txt" && "${JOB_STATUS[$id]}" != SKIP ]]; then
      while IFS='|' read -r kind text; do
        if [[ $kind == pytest || $kind == ctest ]]; then
          read -r p f k <<<"$(junit_counts "$text")"
          if [[ -z "$p" ]]; then
            text="no JUnit report (${text#"$ROOT"/}): counted as one failure"
            tf=$((tf + 1))
          else
            text="$p passed, $f failed, $k skipped"
            tp=$((tp + p)) tf=$((tf + f)) ts=$((ts + k))
          fi
        fi
        runners+="  [$kind] $text"
      done <"$LOGS/notes-$id.txt"
    fi
    n="${JOB_TIME[$id]:-}"
    printf '%-4s  %-16s %-44s %6s%s\n' "${JOB_STATUS[$id]}" "$id" "${JOB_TITLE[$id]}" \
      "${n:+${n}s}" "$runners"
  done
  say "total: $tp passed, $tf failed, $ts skipped"
  say "total time: ${SECONDS}s"
}
