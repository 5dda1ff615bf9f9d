#!/usr/bin/env bash
# Builds everything (host library, stand-in, simulator, tests and tolmu.sys)
# in build/ and runs every test. Exits with ctest's status.
#
# Fresh Debian 12 machine: run as root (or with sudo available); missing
# packages are installed first. Set TOLMU_BUILD_DIR to build elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/install_deps.sh

build_dir=${TOLMU_BUILD_DIR:-build}
jobs=2

tolmu_install_deps

echo "== configure: $build_dir"
mkdir -p "$build_dir"
cmake -S . -B "$build_dir" >"$build_dir/configure.log" 2>&1 || {
  cat "$build_dir/configure.log"; echo "error: configure failed" >&2; exit 1; }
grep -E '^-- tolmu' "$build_dir/configure.log" | sed 's/^--/  /' || true

echo "== build: -j$jobs (log: $build_dir/build.log)"
if ! cmake --build "$build_dir" -j"$jobs" >"$build_dir/build.log" 2>&1; then
  grep -E 'error|Error' "$build_dir/build.log" | head -40 || true
  echo "--- last lines of $build_dir/build.log:"
  tail -n 40 "$build_dir/build.log"
  echo "error: build failed" >&2
  exit 1
fi
warnings=$(grep -c 'warning:' "$build_dir/build.log" || true)
echo "   built, $warnings compiler warning line(s)"
if [ -f "$build_dir/tolmu.sys" ]; then
  echo "   $build_dir/tolmu.sys: $(stat -c %s "$build_dir/tolmu.sys") bytes"
fi

echo "== test: ctest -j$jobs (full log: $build_dir/ctest.log; passed tests not listed)"
set +e
ctest --test-dir "$build_dir" --output-on-failure -j"$jobs" 2>&1 \
  | tee "$build_dir/ctest.log" \
  | grep -v -E '^ *(Start +[0-9]+:|[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed)'
status=${PIPESTATUS[0]}
set -e
exit "$status"
