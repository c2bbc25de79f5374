#!/usr/bin/env bash
# Installs what is missing, builds what the package holds (not the test
# suites), and makes the Debian package in build/. JOBS=N sets the build's
# parallelism (default: one job per processor).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh dpkg-dev file
. scripts/common.sh
stage "configure (no tests)" package-configure \
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
stage "build" package-build cmake --build build -j"$jobs"
stage "Debian package" package-cpack sh -c 'cd build && cpack -G DEB'
grep -F "package:" build/package-cpack.log
