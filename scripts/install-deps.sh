#!/bin/bash
# Installs the Debian packages the build, the tests and the demo need.
# Does nothing when every package is already present; runs apt-get update
# only when something must be installed.
set -euo pipefail

PACKAGES=(
    cmake ninja-build g++ pkg-config
    libcups2-dev zlib1g-dev libpng-dev libgtest-dev libbenchmark-dev
    cups cups-client cups-ppdc cups-filters ghostscript
    clang libclang-rt-14-dev
)

missing=()
for pkg in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
