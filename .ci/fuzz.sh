# The fuzz job: the libFuzzer targets in fuzz/ built with clang, each run
# for a bounded time from its committed seeds (regression inputs included).
# Any finding fails the job.
# shellcheck shell=bash

FUZZ_SECONDS_PER_TARGET="${QVN_CI_FUZZ_SECONDS:-20}"

# clang with its libFuzzer and sanitizer runtimes; installed from Debian's
# packages only when missing.
ensure_clang() {
  local probe="$BUILD/ci-fuzz-probe"
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
  [[ "$v" =~ ^[0-9]+$ ]] || { loud "Debian offers no clang package: the fuzz job cannot run"; return 1; }
  quiet apt-clang apt-get install -y --no-install-recommends clang "libclang-rt-$v-dev" \
    || { loud "could not install clang $v and libclang-rt-$v-dev: the fuzz job cannot run"; return 1; }
  clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    || { loud "clang++ cannot link a libFuzzer target even after installing it"; return 1; }
}

job_fuzz() {
  ensure_clang
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
  (( rc == 0 )) || fail "a fuzz target found a fault (inputs under ${out#"$ROOT"/}/findings)"
}
