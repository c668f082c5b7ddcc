# The wheel jobs: one test-build wheel, then pytest under NumPy 2.x and 1.26.
# shellcheck shell=bash

# ----------------------------------------------------- job 2: one wheel, two NumPys

job_wheel_build() {
  rm -rf "$WHEEL_DIST"
  mkdir -p "$WHEEL_DIST"
  say "$("$PY" --version) at $PY"
  # The Terminal keeps its trades in SQLite.
  if [[ ! -f /usr/include/sqlite3.h ]]; then
    apt_update_once
    quiet apt-sqlite apt-get install -y --no-install-recommends libsqlite3-dev
  fi
  # Our own scikit-build-core build dir, so other builds of the tree never mix
  # with this one.
  quiet wheel-build "$PY" -m pip wheel "$ROOT" -w "$WHEEL_DIST" --no-deps \
        -C cmake.define.QVN_TEST_BUILD=ON -C cmake.define.QVN_WERROR=ON \
        -C build-dir="$BUILD/ci-wheel/cmake"
  local wheels=("$WHEEL_DIST"/*.whl)
  [[ ${#wheels[@]} -eq 1 && -f "${wheels[0]}" ]] || fail "expected exactly one wheel in $WHEEL_DIST"
  # The wheel must carry the extension and an executable Terminal.
  "$PY" - "${wheels[0]}" <<'EOF'
import os, sys, zipfile
path = sys.argv[1]
with zipfile.ZipFile(path) as z:
    infos = {i.filename: i for i in z.infolist()}
core = [n for n in infos if n.startswith("quorvane/_core") and n.endswith(".so")]
term = infos.get("quorvane/bin/terminal64")
print(f"wheel: {os.path.basename(path)} ({os.path.getsize(path) // 1024} KiB)")
print(f"  extension: {', '.join(core) or 'MISSING'}")
print(f"  terminal:  {'quorvane/bin/terminal64' if term else 'MISSING'}")
problems = []
if len(core) != 1:
    problems.append("expected one quorvane/_core*.so")
if term is None:
    problems.append("quorvane/bin/terminal64 missing")
elif not (term.external_attr >> 16) & 0o111:
    problems.append("quorvane/bin/terminal64 is not executable in the wheel")
for p in problems:
    print(f"!! ERROR: {p}")
sys.exit(1 if problems else 0)
EOF
}

# job_wheel_test VENV NUMPY_REQUIREMENT NUMPY_MAJOR [EXTRAS]
# EXTRAS are the wheel's extras to install (default: test); a venv without
# the optional data-frame libraries runs their tests' skip path.
job_wheel_test() {
  local venv=$1 npreq=$2 major=$3 extras=${4:-test} name wheels
  name="$(basename "$venv")"
  wheels=("$WHEEL_DIST"/*.whl)
  [[ -f "${wheels[0]}" ]] || fail "no wheel in $WHEEL_DIST (did the wheel job run?)"
  ensure_venv "$venv"
  # The version number does not change between builds: remove the old install
  # so pip cannot keep it as "already satisfied".
  quiet "pip-$name-uninstall" "$venv/bin/python" -m pip uninstall -y quorvane
  quiet "pip-$name-install" "$venv/bin/python" -m pip install "${wheels[0]}[$extras]" "$npreq"
  say "$("$venv/bin/python" --version)"
  show_numpy "$venv/bin/python" "$major"
  if [[ ,$extras, == *,frames,* ]]; then
    # The data-frame tests must run here, not skip.
    "$venv/bin/python" -c 'import pandas, polars, pyarrow
print("pandas", pandas.__version__, "polars", polars.__version__, "pyarrow", pyarrow.__version__)' \
      || fail "the frames extra did not install pandas, polars and pyarrow"
  fi
  # Run from a directory of our own so nothing but the installed wheel can
  # provide the package.
  local run="$BUILD/ci-run-$name"
  mkdir -p "$run"
  cd "$run"
  "$venv/bin/python" -c 'import quorvane, os; print("quorvane from", os.path.dirname(quorvane.__file__))'
  run_pytest "pytest-$name" "$venv/bin/python" -m pytest "$ROOT/tests" -q -p no:cacheprovider
}

