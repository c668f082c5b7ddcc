# The sanitizer job: the module, the Terminal and the C++ unit tests built
# with clang's AddressSanitizer and UndefinedBehaviorSanitizer, the unit
# tests run with leak detection, then the whole pytest suite against that
# build. Any sanitizer report, from any process, fails the job.
#
# Clang rather than GCC: with GCC's separate runtimes an undefined-behaviour
# report ignores log_path and goes to stderr, which for a Terminal the module
# started is the null device, so a report there would go unseen. Clang's
# one shared runtime (-shared-libasan) writes every report to the log files.
# shellcheck shell=bash

SANITIZE_REPORTS="$LOGS/sanitize-reports"

# clang's shared ASan runtime (UBSan included), preloaded into Python.
asan_runtime() {
  local lib
  lib="$(clang++ -print-file-name=libclang_rt.asan-x86_64.so 2>/dev/null)" || return 0
  [[ "$lib" == /* && -e "$lib" ]] && printf '%s\n' "$lib"
  return 0
}

# check_sanitizer_reports WHAT: fails when any sanitizer wrote a report into
# the report folder.
check_sanitizer_reports() {
  local reports=()
  # A refused allocation (allocator_may_return_null) leaves a warning line
  # but is no fault: the code under test is meant to handle it. Any other
  # line makes the file a report.
  mapfile -t reports < <(find "$SANITIZE_REPORTS" -type f -size +0 2>/dev/null | sort \
    | while IFS= read -r f; do
        grep -qvE '^(==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes)?$' "$f" && printf '%s\n' "$f"
      done)
  note sanitizer "$1: ${#reports[@]} sanitizer report(s)"
  (( ${#reports[@]} == 0 )) && return 0
  local r
  for r in "${reports[@]}"; do
    say "!! sanitizer report ${r#"$ROOT"/}:"
    head -n 60 "$r" | sed 's/^/   | /'
  done
  loud "${#reports[@]} sanitizer report(s): see above"
  return 1
}

job_sanitize() {
  local bdir="$BUILD/ci-sanitize" stage="$BUILD/ci-sanitize/stage" run="$BUILD/ci-run-sanitize"
  ensure_clang
  local asan; asan="$(asan_runtime)"
  [[ -n "$asan" ]] || { loud "clang has no shared ASan runtime (libclang_rt.asan-x86_64.so)"; return 1; }
  ensure_venv "$VENV_SANITIZE"
  quiet pip-sanitize "$VENV_SANITIZE/bin/python" -m pip install "numpy>=2" "pytest>=7"
  ensure_build_tools "$VENV_SANITIZE"
  say "$(clang++ --version | head -n 1); ASan runtime: $asan"

  # -O1 keeps the sanitized Terminal quick enough while asserts stay live.
  step "configure ${bdir#"$ROOT"/} (Ninja, Debug -O1, QVN_SANITIZE=ON, QVN_WERROR=ON, QVN_TEST_BUILD=ON)"
  # A build folder configured with another compiler is started afresh.
  if [[ -f "$bdir/CMakeCache.txt" ]] && ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang' "$bdir/CMakeCache.txt"; then
    rm -rf "$bdir"
  fi
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
        -DQVN_SANITIZE=ON -DQVN_TEST_BUILD=ON -DQVN_WERROR=ON -DQVN_BUILD_TESTS=ON \
        -DPython_EXECUTABLE="$VENV_SANITIZE/bin/python" >/dev/null
  step "build"
  cmake --build "$bdir" -j2

  # The binaries under test must really be instrumented, and a report must
  # really land in a log file: otherwise a clean run would prove nothing.
  local bin symbols
  for bin in "$bdir"/_core*.so "$bdir/terminal64"; do
    symbols="$(nm -D --undefined-only "$bin")"
    [[ "$symbols" == *__asan_report* && "$symbols" == *__ubsan_handle* ]] \
      || fail "${bin#"$ROOT"/} is not built with both sanitizers"
  done
  local canary="$BUILD/ci-sanitize-canary"
  rm -rf "$canary"
  mkdir -p "$canary"
  printf 'int main(int argc, char**) { int x = 0x7fffffff; return x + argc > 0; }\n' >"$canary/canary.cpp"
  clang++ -fsanitize=address,undefined -fno-sanitize-recover=undefined -shared-libasan \
          "-Wl,-rpath,$(dirname "$asan")" "$canary/canary.cpp" -o "$canary/canary"
  UBSAN_OPTIONS="halt_on_error=1:log_path=$canary/report" "$canary/canary" 2>/dev/null || true
  compgen -G "$canary/report.*" >/dev/null || fail "a sanitizer report did not reach its log file"

  rm -rf "$SANITIZE_REPORTS"
  mkdir -p "$SANITIZE_REPORTS"
  local ubsan="halt_on_error=1:print_stacktrace=1:log_path=$SANITIZE_REPORTS/ubsan"
  # The unit tests: leaks count too.
  local rc=0
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$SANITIZE_REPORTS/asan-ctest" \
  UBSAN_OPTIONS="$ubsan" run_ctest sanitize-ctest "$bdir" || rc=$?
  check_sanitizer_reports ctest || rc=1
  (( rc == 0 )) || fail "the C++ unit tests failed under the sanitizers"

  step "stage the sanitized package in ${stage#"$ROOT"/}"
  rm -rf "$stage"
  cmake --install "$bdir" --prefix "$stage" >/dev/null
  tar -C "$ROOT/src/quorvane" --exclude='*.so' --exclude=__pycache__ -cf - . | tar -C "$stage/quorvane" -xf -

  # Python itself is not built for leak checking: leaks are looked for in
  # the unit tests above. Every process the suite starts (the Terminal
  # included, which is sanitized too) inherits these settings and writes its
  # reports to the report folder, where they fail the job. An allocation the
  # sanitizer cannot serve returns null, as the C allocator's would: the
  # module reports running out of memory instead of the process aborting.
  mkdir -p "$run"
  cd "$run"
  run_pytest sanitize-pytest env LD_PRELOAD="$asan" PYTHONPATH="$stage" PYTHONMALLOC=malloc \
      ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$SANITIZE_REPORTS/asan" \
      UBSAN_OPTIONS="$ubsan" \
      "$VENV_SANITIZE/bin/python" -m pytest "$ROOT/tests" -q -p no:cacheprovider || rc=$?
  check_sanitizer_reports pytest || rc=1
  return "$rc"
}
