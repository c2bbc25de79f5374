# Shared by the scripts (sourced, from the top of the checkout).

# How many compile jobs: JOBS=N overrides, default one per processor.
jobs="${JOBS:-$(nproc)}"

# The scripts run as the user and call sudo themselves for apt-get; a build/
# left by an earlier `sudo ./scripts/...` belongs to root and cannot be
# written now, which CMake reports without saying why.
check_user() {
    if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ]; then
        echo "Run this script as yourself, without sudo: it calls sudo for apt-get when" >&2
        echo "something is missing, and a build/ made as root cannot be used later." >&2
        exit 1
    fi
    local foreign
    foreign="$(find build -maxdepth 3 ! -user "$(id -u)" -print -quit 2>/dev/null || true)"
    if [ -n "$foreign" ]; then
        echo "$foreign belongs to $(stat -c %U "$foreign"), not to you (an earlier run with sudo?)." >&2
        echo "Remove the build directory once, then run the script again as yourself:" >&2
        echo "  sudo rm -rf $PWD/build" >&2
        exit 1
    fi
}

# One stage: a line on the screen, the output in build/NAME.log, and on
# failure the lines that say what failed.
# Usage: stage "what" NAME command...
stage() {
    local what="$1" log="build/$2.log"
    shift 2
    mkdir -p build
    printf -- '-- %-44s ' "$what"
    local start=$SECONDS
    if "$@" >"$log" 2>&1; then
        echo "ok ($((SECONDS - start)) s)"
        return 0
    fi
    echo "FAILED ($((SECONDS - start)) s, log: $log)"
    grep -E 'FAIL!|error:|Error [0-9]|\*\*\*Failed|\*\*\*Exception|\*\*\*Timeout|FAILED|failed|^ERROR|^==[0-9]+==' \
        "$log" | head -n 60 >&2 || true
    echo "-- last lines of $log:" >&2
    tail -n 15 "$log" >&2
    exit 1
}
