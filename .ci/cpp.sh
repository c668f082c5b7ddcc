# The C++ job: a Debug build with -Werror and the C++ unit tests.
# shellcheck shell=bash

# ------------------------------------------------------------ job 1: C++

job_cpp() {
  local bdir="$BUILD/ci-cmake"
  ensure_venv "$VENV_NP2"
  quiet pip-np2-numpy "$VENV_NP2/bin/python" -m pip install "numpy>=2"
  show_numpy "$VENV_NP2/bin/python" 2
  ensure_build_tools "$VENV_NP2"

  step "configure ${bdir#"$ROOT"/} (Ninja, Debug, QVN_WERROR=ON, QVN_TEST_BUILD=ON)"
  cmake -S "$ROOT" -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DQVN_TEST_BUILD=ON -DQVN_WERROR=ON -DQVN_BUILD_TESTS=ON \
        -DPython_EXECUTABLE="$VENV_NP2/bin/python"
  step "build"
  cmake --build "$bdir" -j2
  run_ctest ctest-cpp "$bdir"
}

