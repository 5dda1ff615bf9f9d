#!/usr/bin/env bash
# Builds the project in build/ and runs the simulated PC (tolmu-sim) with the
# driver loaded in it. Arguments are passed to tolmu-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/install_deps.sh

build_dir=${TOLMU_BUILD_DIR:-build}

tolmu_install_deps
echo "== configure and build: $build_dir (log: $build_dir/build.log)"
cmake -S . -B "$build_dir" >/dev/null
if ! cmake --build "$build_dir" -j2 >"$build_dir/build.log" 2>&1; then
  tail -n 40 "$build_dir/build.log"
  echo "error: build failed" >&2
  exit 1
fi

sim=$(find "$build_dir" -maxdepth 3 -type f -name tolmu-sim -perm -u+x | head -n 1)
if [ -z "$sim" ]; then
  echo "The simulated PC (tolmu-sim) is not there yet: the build produced no tolmu-sim."
  echo "Everything else is built; tools/run_tests.sh runs the tests."
  exit 0
fi
exec "$sim" "$@"
