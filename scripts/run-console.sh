#!/usr/bin/env bash
# Installs what is missing, builds, and starts the console on the bundled
# instrument simulator (COM1). Extra arguments go to the console.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
exec build/app/kestrova-comtest --simulate "$@"
