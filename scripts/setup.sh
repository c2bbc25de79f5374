#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and run the console.
# Usage: scripts/setup.sh [extra packages...]
set -euo pipefail
packages=(build-essential cmake qt6-base-dev qt6-serialport-dev libgl-dev
          fonts-wqy-microhei fonts-dejavu-core qt6-translations-l10n "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
