#!/usr/bin/env bash
# Installs what is missing, builds, and starts the console on the bundled
# instrument simulator (COM1). Extra arguments go to the console. JOBS=N sets
# the build's parallelism (default: one job per processor).
set -euo pipefail
cd "$(dirname "$0")/.."

# Before minutes of installing and building: without a display Qt aborts at
# the start. Platforms such as offscreen or vnc need none.
needs_display=1
IFS=';' read -ra platforms <<<"${QT_QPA_PLATFORM:-}"
for p in "${platforms[@]}"; do
    case "${p%%:*}" in
    offscreen | minimal | minimalegl | vnc | linuxfb | eglfs | vkkhrdisplay) needs_display=0 ;;
    esac
done
if [ "$needs_display" -eq 1 ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "The console is a window and needs a graphical session (a desktop, or ssh -X);" >&2
    echo "here neither DISPLAY nor WAYLAND_DISPLAY is set." >&2
    echo "In a terminal, kestrova-probe runs the same TEST without a window:" >&2
    echo "  scripts/setup.sh && cmake -S . -B build && cmake --build build --target kestrova-probe" >&2
    echo "  build/probe/kestrova-probe --help" >&2
    echo "and ./scripts/run-tests.sh builds and runs every test." >&2
    exit 1
fi

scripts/setup.sh
. scripts/common.sh
stage "configure" console-configure cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Only what it starts: the test suites are for scripts/run-tests.sh.
stage "build the console and the simulator" console-build \
    cmake --build build -j"$jobs" --target kestrova-comtest kestrova-sim
exec build/app/kestrova-comtest --simulate "$@"
