#!/usr/bin/env bash
# Installs what is missing, builds, and starts the console on the bundled
# instrument simulator (COM1). Extra arguments go to the console. JOBS=N sets
# the build's parallelism (default: one job per processor).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
. scripts/common.sh
stage "configure" console-configure cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Only what it starts: the test suites are for scripts/run-tests.sh.
stage "build the console and the simulator" console-build \
    cmake --build build -j"$jobs" --target kestrova-comtest kestrova-sim
exec build/app/kestrova-comtest --simulate "$@"
