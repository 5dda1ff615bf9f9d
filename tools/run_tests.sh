#!/usr/bin/env bash
# Builds everything and runs every test, twice:
#   1. build/           g++: host library, stand-in, simulator, tests and
#                       tolmu.sys (mingw-w64), every test;
#   2. build-sanitize/  clang with AddressSanitizer and UndefinedBehavior-
#                       Sanitizer: the host suite again, plus the fuzz targets
#                       (a bounded run over the corpus, and the kept inputs).
# Exits non-zero when a build or any test of either fails.
#
# Fresh Debian 12 machine: run as root (or with sudo available); missing
# packages are installed first. TOLMU_BUILD_DIR / TOLMU_SANITIZE_DIR build
# elsewhere; TOLMU_SANITIZE_STAGE=0 leaves the second build out (quicker
# local runs; CI always runs both).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/install_deps.sh

jobs=2
tolmu_install_deps

# build_and_test DIR TITLE CMAKE-ARGS...: configure, build and ctest in DIR;
# returns ctest's status (configure and build failures end the script).
build_and_test() {
  local dir=$1 title=$2
  shift 2
  echo "== configure ($title): $dir"
  mkdir -p "$dir"
  cmake -S . -B "$dir" "$@" >"$dir/configure.log" 2>&1 || {
    cat "$dir/configure.log"; echo "error: configure failed" >&2; exit 1; }
  grep -E '^-- tolmu' "$dir/configure.log" | sed 's/^--/  /' || true

  echo "== build ($title): -j$jobs (log: $dir/build.log)"
  if ! cmake --build "$dir" -j"$jobs" >"$dir/build.log" 2>&1; then
    grep -E 'error|Error' "$dir/build.log" | head -40 || true
    echo "--- last lines of $dir/build.log:"
    tail -n 40 "$dir/build.log"
    echo "error: build failed" >&2
    exit 1
  fi
  local warnings
  warnings=$(grep -c 'warning:' "$dir/build.log" || true)
  echo "   built, $warnings compiler warning line(s)"
  if [ -f "$dir/tolmu.sys" ]; then
    echo "   $dir/tolmu.sys: $(stat -c %s "$dir/tolmu.sys") bytes"
  fi

  echo "== test ($title): ctest -j$jobs (full log: $dir/ctest.log; passed tests not listed)"
  set +e
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" 2>&1 \
    | tee "$dir/ctest.log" \
    | grep -v -E '^ *(Start +[0-9]+:|[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed)'
  local status=${PIPESTATUS[0]}
  set -e
  # The figures the reliability tests print (ctest keeps every test's
  # output there, passed or not), for the log's reader.
  grep -h -E '^(fault injection|stress|kernel stack worst path|fuzz [a-z_]+): ' \
    "$dir/Testing/Temporary/LastTest.log" 2>/dev/null | sort -u | sed 's/^/   /' || true
  return "$status"
}

status=0
build_and_test "${TOLMU_BUILD_DIR:-build}" "g++" || status=$?

if [ "${TOLMU_SANITIZE_STAGE:-1}" != 0 ]; then
  sanitize_status=0
  CC=clang CXX=clang++ build_and_test "${TOLMU_SANITIZE_DIR:-build-sanitize}" "clang, ASan+UBSan" \
    -DTOLMU_SANITIZE=ON -DTOLMU_FUZZ=ON -DTOLMU_WINDOWS_IMAGE=OFF || sanitize_status=$?
  [ "$status" -ne 0 ] || status=$sanitize_status
fi
exit "$status"
