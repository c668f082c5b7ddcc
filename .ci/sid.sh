# The Python 3.14 job: a Debian sid tree made with debootstrap and cached,
# the project built and tested inside it.
# shellcheck shell=bash

SID_DIR="${QVN_CI_SID_DIR:-/var/cache/quorvane-ci/sid}"
SID_MIRROR="${QVN_CI_SID_MIRROR:-http://deb.debian.org/debian}"
# ca-certificates lets pip inside the tree reach PyPI (only needed if Debian's
# numpy is not built for 3.14); debootstrap does not follow Recommends.
SID_INCLUDE="python3.14-dev,python3-numpy,g++,make,cmake,python3-pytest,python3-pip,python3-venv,ca-certificates"
# The stamp holds this key; a tree made with other settings is rebuilt.
SID_KEY="v1 sid minbase $SID_MIRROR $SID_INCLUDE"
SID_STAMP_NAME=".quorvane-ci-stamp"
SID_WORK=/var/tmp/qvn-ci           # inside the tree: source copy, build, stage

# -------------------------------------------------- job 3: Python 3.14 (sid)

# Mount points at or below a directory, deepest first.
mounts_under() {
  awk -v r="$1" '$5 == r || index($5, r "/") == 1 { print length($5), $5 }' /proc/self/mountinfo \
    | sort -rn | cut -d' ' -f2-
}

# Unmount everything at or below a directory; lazily when a plain unmount fails.
release_mounts() {
  local m
  while IFS= read -r m; do
    [[ -n "$m" ]] || continue
    umount "$m" 2>/dev/null || umount -l "$m" || say "!! could not unmount $m"
  done < <(mounts_under "$1")
}

# Remove a directory tree, never through a mount (a bind mount of /dev or of
# the repo would otherwise be emptied).
safe_rm() {
  local d=$1
  [[ -e "$d" ]] || return 0
  release_mounts "$d"
  if [[ -n "$(mounts_under "$d")" ]]; then
    fail "still mounted below $d; not removing it"
  fi
  rm -rf --one-file-system "$d"
}

SID_MOUNTED=""
# sid_mount ROOT: /proc, /dev and a fresh /tmp for the tree. The EXIT trap
# (the job runs in its own subshell) takes them down again, on failure too.
sid_mount() {
  local r=$1
  SID_MOUNTED=$r
  trap 'sid_umount' EXIT
  trap 'exit 130' INT TERM
  mount -t proc proc "$r/proc"
  mount --rbind /dev "$r/dev"
  mount --make-rslave "$r/dev"      # unmounting must never reach the host's /dev
  mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
  [[ -f /etc/resolv.conf ]] && cp -L /etc/resolv.conf "$r/etc/resolv.conf" || true
}

# Processes whose root is the tree (a Terminal a test left running, say).
procs_in_tree() {
  local p root
  for p in /proc/[0-9]*; do
    root="$(readlink "$p/root" 2>/dev/null)" || continue
    [[ "$root" == "$1" ]] && printf '%s\n' "${p#/proc/}"
  done
  return 0
}

sid_umount() {
  [[ -n "$SID_MOUNTED" ]] || return 0
  local r=$SID_MOUNTED pids=()
  mapfile -t pids < <(procs_in_tree "$r")
  if (( ${#pids[@]} )); then
    loud "processes left running inside the sid tree after the job (a test did not stop them):" \
         "$(ps -o pid=,args= -p "$(IFS=,; echo "${pids[*]}")" 2>/dev/null | tr '\n' ';')" \
         "stopping them (SIGTERM, then SIGKILL)"
    note warning "processes left running in the sid tree: ${pids[*]}"
    kill -TERM "${pids[@]}" 2>/dev/null || true
    sleep 2
    mapfile -t pids < <(procs_in_tree "$r")
    (( ${#pids[@]} == 0 )) || kill -KILL "${pids[@]}" 2>/dev/null || true
  fi
  release_mounts "$r"
  if [[ -n "$(mounts_under "$r")" ]]; then
    loud "mounts left under $r:" "$(mounts_under "$r" | tr '\n' ' ')"
    return 1
  fi
  SID_MOUNTED=""
}

# sid_run ROOT CMD...: run a command in the tree with a clean environment.
sid_run() {
  local r=$1
  shift
  # fd 9 (the cache lock) must not be inherited by anything started inside.
  chroot "$r" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TMPDIR=/tmp CI=true \
    PYTHONDONTWRITEBYTECODE=1 PYTHONUNBUFFERED=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@" 9>&-
}

sid_numpy_ok() {
  sid_run "$1" python3.14 -c 'import sys, numpy; sys.exit(int(numpy.__version__.split(".")[0]) < 2)' \
    >/dev/null 2>&1
}

sid_lock() {
  mkdir -p "$(dirname "$SID_DIR")"
  exec 9>"$SID_DIR.lock"
  if ! flock -n 9; then
    step "waiting for another run using $SID_DIR"
    flock -w 3600 9 || fail "could not lock $SID_DIR.lock"
  fi
}

ensure_debootstrap() {
  if command -v debootstrap >/dev/null 2>&1; then return 0; fi
  apt_update_once
  quiet apt-debootstrap apt-get install -y --no-install-recommends debootstrap \
    || { loud "could not install debootstrap from Debian's packages"; return 1; }
}

# prepare_sid: make sure $SID_DIR is a complete sid tree with python3.14 and a
# NumPy 2.x that python3.14 imports. The tree is built in $SID_DIR.partial and
# only renamed into place, with its stamp, after every step succeeded.
prepare_sid() {
  local part="$SID_DIR.partial" stamp="$SID_DIR/$SID_STAMP_NAME"
  release_mounts "$SID_DIR"          # left over from a run that was killed
  release_mounts "$part"
  if [[ "${QVN_CI_SID_REFRESH:-0}" != 1 && -f "$stamp" && "$(cat "$stamp")" == "$SID_KEY" ]]; then
    step "reusing cached sid tree $SID_DIR (made $(date -r "$stamp" '+%Y-%m-%d %H:%M'))"
    return 0
  fi
  if [[ -e "$SID_DIR" ]]; then
    step "sid tree $SID_DIR has no valid stamp: rebuilding it"
  fi
  ensure_debootstrap
  safe_rm "$part"
  mkdir -p "$part"
  step "debootstrap sid into $part (a few minutes)"
  local rc=0
  quiet debootstrap timeout --foreground 2400 debootstrap --variant=minbase --include="$SID_INCLUDE" \
        sid "$part" "$SID_MIRROR" || rc=$?
  if (( rc != 0 )); then
    [[ -f "$part/debootstrap/debootstrap.log" ]] && {
      say "!! end of $part/debootstrap/debootstrap.log:"
      tail -n 40 "$part/debootstrap/debootstrap.log" | sed 's/^/   | /'
    }
    note error "debootstrap of Debian sid failed (exit $rc): see above"
    loud "debootstrap of Debian sid FAILED (exit $rc): the Python 3.14 job cannot run." \
         "Mirror: $SID_MIRROR   packages: $SID_INCLUDE" \
         "Either the mirror is unreachable or sid no longer has one of these packages." \
         "This is a CI FAILURE, not a skip."
    return 1
  fi
  [[ -x "$part/usr/bin/python3.14" ]] || { loud "the sid tree has no /usr/bin/python3.14"; return 1; }

  # Debian's python3-numpy is built for every Python sid supports; if 3.14 is
  # not among them, take NumPy for 3.14 from PyPI inside the tree. It goes to
  # /usr/local/lib/python3.14, ahead of Debian's copy on sys.path;
  # --ignore-installed because pip would otherwise take Debian's metadata
  # (shared by all Python versions) as "already satisfied".
  local how=debian
  if ! sid_numpy_ok "$part"; then
    how=pypi
    say "Debian's python3-numpy does not import under python3.14: installing numpy>=2 for 3.14 from PyPI in the tree"
    sid_mount "$part"
    rc=0
    # pip inside the tree must trust what the host trusts (PyPI may be reached
    # through a TLS-inspecting proxy whose CA only the host's bundle has).
    local ca="${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" pipenv=()
    if [[ -f "$ca" ]]; then
      cp -L "$ca" "$part/etc/ssl/certs/quorvane-ci-host-ca.crt"
      pipenv+=(PIP_CERT=/etc/ssl/certs/quorvane-ci-host-ca.crt)
    fi
    local v
    for v in HTTP_PROXY HTTPS_PROXY NO_PROXY http_proxy https_proxy no_proxy PIP_INDEX_URL PIP_EXTRA_INDEX_URL PIP_TRUSTED_HOST; do
      [[ -n "${!v:-}" ]] && pipenv+=("$v=${!v}")
    done
    quiet sid-pip-numpy sid_run "$part" "${pipenv[@]}" python3.14 -m pip install \
          --break-system-packages --root-user-action=ignore --ignore-installed "numpy>=2" || rc=$?
    sid_umount
    (( rc == 0 )) || { loud "could not install NumPy for python3.14 in the sid tree"; return 1; }
    sid_numpy_ok "$part" || { loud "NumPy still does not import under python3.14 in the sid tree"; return 1; }
  fi
  printf '%s\n' "$how" >"$part/.quorvane-ci-numpy"
  printf '%s\n' "$SID_KEY" >"$part/$SID_STAMP_NAME"
  safe_rm "$SID_DIR"
  mv "$part" "$SID_DIR"
  step "sid tree ready: $SID_DIR ($(du -sh "$SID_DIR" | cut -f1))"
}

# Copy the tracked and not-ignored files of the work tree (never build output).
copy_source() {
  local dest=$1
  mkdir -p "$dest"
  if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$ROOT" && git ls-files -z -c -o --exclude-standard) \
      | while IFS= read -r -d '' f; do
          case $f in build/*|.venv*|dist/*) continue ;; esac
          [[ -e "$ROOT/$f" || -L "$ROOT/$f" ]] && printf '%s\0' "$f"
        done \
      | tar -C "$ROOT" --null -T - -cf - | tar -C "$dest" -xf -
  else
    tar -C "$ROOT" --exclude=./build --exclude=./.git --exclude='./.venv*' --exclude=./dist \
        --exclude=__pycache__ -cf - . | tar -C "$dest" -xf -
  fi
}

job_sid() {
  sid_lock
  prepare_sid
  local r=$SID_DIR w="$SID_DIR$SID_WORK"
  say "numpy for python3.14 in the tree comes from: $(cat "$r/.quorvane-ci-numpy" 2>/dev/null || echo unknown)"
  safe_rm "$w"
  copy_source "$w/src"
  cat >"$w/inner.sh" <<'EOF'
set -euo pipefail
W=$1 WERROR=$2
echo "$(python3.14 --version); $(g++ --version | head -n 1); $(cmake --version | head -n 1)"
python3.14 -c 'import numpy; print("numpy.__version__ =", numpy.__version__, "(python3.14, from", numpy.__file__ + ")")'
echo "--> configure (Unix Makefiles, QVN_TEST_BUILD=ON, QVN_WERROR=$WERROR)"
cmake -S "$W/src" -B "$W/build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
      -DQVN_TEST_BUILD=ON -DQVN_WERROR="$WERROR" -DQVN_BUILD_TESTS=ON \
      -DPython_EXECUTABLE=/usr/bin/python3.14
echo "--> build"
cmake --build "$W/build" -j2 2>&1 | tee "$W/build.log"
echo "compiler warnings in the sid build: $(grep -c 'warning:' "$W/build.log" || true)"
echo "--> ctest"
ctest --test-dir "$W/build" --output-on-failure --no-tests=error --timeout 300 --output-junit "$W/ctest.xml"
echo "--> install to $W/stage and add the Python package"
cmake --install "$W/build" --prefix "$W/stage" >/dev/null
tar -C "$W/src/src/quorvane" --exclude='*.so' --exclude=__pycache__ -cf - . | tar -C "$W/stage/quorvane" -xf -
cd "$W/src"
PYTHONPATH="$W/stage" python3.14 -c 'import os, quorvane; print("quorvane from", os.path.dirname(quorvane.__file__))'
echo "--> PYTHONPATH=$W/stage python3.14 -m pytest tests -q"
rc=0
PYTHONPATH="$W/stage" timeout --foreground --kill-after=30 1200 python3.14 -m pytest tests -q -p no:cacheprovider \
  --junitxml="$W/pytest.xml" || rc=$?
[ "$rc" -ne 5 ] || echo "!!! pytest collected no tests (exit 5): the suite must run tests"
exit "$rc"
EOF
  sid_mount "$r"
  sid_numpy_ok "$r" || fail "python3.14 in the sid tree cannot import NumPy 2.x"
  local rc=0 log="$LOGS/sid.log"
  sid_run "$r" bash "$SID_WORK/inner.sh" "$SID_WORK" "${QVN_CI_SID_WERROR:-ON}" 2>&1 | tee "$log" || rc=$?
  local kind
  for kind in ctest pytest; do
    rm -f "$LOGS/sid-$kind.xml"
    cp "$w/$kind.xml" "$LOGS/sid-$kind.xml" 2>/dev/null || true
    note "$kind" "$LOGS/sid-$kind.xml"
  done
  sid_umount
  trap - EXIT INT TERM
  (( rc == 0 )) || fail "the Python 3.14 job failed (exit $rc)"
}

