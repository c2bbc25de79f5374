#!/usr/bin/env bash
# Installs what is missing, builds, and starts the console on the bundled
# instrument simulator (COM1). Extra arguments go to the console.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only what it starts: the test suites are for scripts/run-tests.sh.
cmake --build build -j"$(nproc)" --target kestrova-comtest kestrova-sim
exec build/app/kestrova-comtest --simulate "$@"
