#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and run the console.
# Usage: scripts/setup.sh [extra packages...]
# The screen gets one line per stage; apt's full output goes to build/setup.log.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
check_user
packages=(build-essential cmake qt6-base-dev qt6-serialport-dev qt6-charts-dev libqt6opengl6-dev libgl-dev libpcap-dev
          fonts-wqy-microhei fonts-dejavu-core qt6-translations-l10n "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "These packages are missing and installing them needs root:" >&2
        echo "  ${missing[*]}" >&2
        echo "Install them as root (for example after 'su -'):" >&2
        echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
        echo "then run this command again as yourself." >&2
        exit 1
    fi
    sudo=(sudo)
fi

log="$PWD/build/setup.log"
mkdir -p "$(dirname "$log")"
: >"$log"
# One stage: a line on the screen, the output in the log, its tail on failure.
stage() {
    local what="$1"
    shift
    echo "-- $what"
    if ! "$@" >>"$log" 2>&1; then
        tail -n 20 "$log" >&2
        echo "failed: $what (full log: $log)" >&2
        exit 1
    fi
}
echo "installing: ${missing[*]} (log: $log)"
stage "apt-get update" "${sudo[@]}" apt-get update
stage "apt-get install" "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
