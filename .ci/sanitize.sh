# The sanitizer job: the module, the Terminal and the C++ unit tests built
# with AddressSanitizer and UndefinedBehaviorSanitizer (GCC's runtimes), the
# unit tests run with leak detection, then the whole pytest suite against
# that build. Any sanitizer report, from any process, fails the job.
# shellcheck shell=bash

VENV_SANITIZE="$BUILD/ci-venv-sanitize"
SANITIZE_REPORTS="$LOGS/sanitize-reports"

# GCC's ASan runtime, which Python must load before anything else.
asan_runtime() {
  local lib
  lib="$(g++ -print-file-name=libasan.so)"
  [[ "$lib" == /* && -e "$lib" ]] && readlink -f "$lib"
}

ensure_sanitizer_runtimes() {
  if [[ -n "$(asan_runtime)" && -n "$(g++ -print-file-name=libubsan.so | grep '^/')" \
        && -e "$(g++ -print-file-name=libubsan.so)" ]]; then
    return 0
  fi
  local gcc_major
  gcc_major="$(g++ -dumpversion | cut -d. -f1)"
  apt_update_once
  quiet apt-sanitizers apt-get install -y --no-install-recommends "libgcc-$gcc_major-dev" \
    || { loud "could not install GCC's sanitizer runtimes (libgcc-$gcc_major-dev)"; return 1; }
  [[ -n "$(asan_runtime)" ]] || { loud "no libasan.so for g++ $gcc_major after installing its runtimes"; return 1; }
}

# Fails when any sanitizer wrote a report into the report folder.
check_sanitizer_reports() {
  local reports=()
  mapfile -t reports < <(find "$SANITIZE_REPORTS" -type f -size +0 2>/dev/null | sort)
  note sanitizer "${#reports[@]} sanitizer report(s)"
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
  ensure_sanitizer_runtimes
  local asan; asan="$(asan_runtime)"
  ensure_venv "$VENV_SANITIZE"
  quiet pip-sanitize "$VENV_SANITIZE/bin/python" -m pip install "numpy>=2" "pytest>=7"
  ensure_build_tools "$VENV_SANITIZE"
  say "ASan runtime: $asan"

  # -O1 keeps the sanitized Terminal quick enough while asserts stay live.
  step "configure ${bdir#"$ROOT"/} (Ninja, Debug -O1, QVN_SANITIZE=ON, QVN_WERROR=ON, QVN_TEST_BUILD=ON)"
  cmake -S "$ROOT" -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
        -DQVN_SANITIZE=ON -DQVN_TEST_BUILD=ON -DQVN_WERROR=ON -DQVN_BUILD_TESTS=ON \
        -DPython_EXECUTABLE="$VENV_SANITIZE/bin/python" >/dev/null
  step "build"
  cmake --build "$bdir" -j2

  rm -rf "$SANITIZE_REPORTS"
  mkdir -p "$SANITIZE_REPORTS"
  local ubsan="halt_on_error=1:print_stacktrace=1:log_path=$SANITIZE_REPORTS/ubsan"
  # The unit tests: leaks count too.
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$SANITIZE_REPORTS/asan-ctest" \
  UBSAN_OPTIONS="$ubsan" \
    ctest --test-dir "$bdir" --output-on-failure --no-tests=error --timeout "$CTEST_TEST_TIMEOUT" \
          --output-junit "$LOGS/sanitize-ctest.xml" 2>&1 | tee "$LOGS/sanitize-ctest.log" || {
    note ctest "$(ctest_summary "$LOGS/sanitize-ctest.log")"
    check_sanitizer_reports || true
    fail "the C++ unit tests failed under the sanitizers"
  }
  note ctest "$(ctest_summary "$LOGS/sanitize-ctest.log")"
  check_sanitizer_reports

  step "stage the sanitized package in ${stage#"$ROOT"/}"
  rm -rf "$stage"
  cmake --install "$bdir" --prefix "$stage" >/dev/null
  tar -C "$ROOT/src/quorvane" --exclude='*.so' --exclude=__pycache__ -cf - . | tar -C "$stage/quorvane" -xf -

  # Python itself is not built for leak checking: leaks are looked for in
  # the unit tests above. Every process the suite starts (the Terminal
  # included, which is sanitized too) inherits these settings and writes its
  # reports to the report folder, where they fail the job.
  mkdir -p "$run"
  cd "$run"
  local rc=0
  run_pytest sanitize-pytest env LD_PRELOAD="$asan" PYTHONPATH="$stage" PYTHONMALLOC=malloc \
      ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$SANITIZE_REPORTS/asan" \
      UBSAN_OPTIONS="$ubsan" \
      "$VENV_SANITIZE/bin/python" -m pytest "$ROOT/tests" -q -p no:cacheprovider \
      --junitxml="$LOGS/sanitize-pytest.xml" || rc=$?
  check_sanitizer_reports || rc=1
  return "$rc"
}
