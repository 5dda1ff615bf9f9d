#!/usr/bin/env bash
# Builds tolmu-sim in build/ (missing Debian packages installed first) and
# runs it: the simulated PC booted without Tolmu and with it. Arguments are
# passed to tolmu-sim (e.g. --scenario all, --machine examples/deep-chassis.json).
# Exits with tolmu-sim's status.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/install_deps.sh

build_dir=${TOLMU_BUILD_DIR:-build}

tolmu_install_deps >&2
echo "== configure and build tolmu-sim: $build_dir (log: $build_dir/build.log)" >&2
mkdir -p "$build_dir"
cmake -S . -B "$build_dir" >"$build_dir/configure.log" 2>&1 || { tail -n 40 "$build_dir/configure.log"; exit 1; }
if ! cmake --build "$build_dir" --target tolmu-sim -j2 >"$build_dir/build.log" 2>&1; then
  tail -n 40 "$build_dir/build.log"
  echo "error: build failed" >&2
  exit 1
fi
exec "$build_dir/tools/tolmu-sim" "$@"
