#!/usr/bin/env bash
# Installs what is missing, builds what the package holds (not the test
# suites), and makes the Debian package in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh dpkg-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kc_installable
(cd build && cpack -G DEB | grep -F "package:")
