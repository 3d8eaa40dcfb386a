#!/bin/bash
# Installs the Debian packages the build, the tests, the packaging and the
# demo need, for this machine and, through multiarch, for arm64 and armhf.
# Does nothing when every package is already present; runs apt-get update
# only when something must be installed.
set -euo pipefail

PACKAGES=(
    cmake ninja-build g++ pkg-config
    libcups2-dev zlib1g-dev libpng-dev libgtest-dev libbenchmark-dev
    cups cups-client cups-ppdc cups-filters ghostscript
    zbar-tools qrencode barcode  # the mixed label test: barcodes made and read back
    clang libclang-rt-14-dev python3
    # The printer application and its tests.
    libpappl-dev libjpeg-dev libpoppler-cpp-dev cups-ipp-utils lprint
    # The printer application's security test: network namespaces, a user
    # switch, the web page over HTTP.
    iproute2 util-linux curl
    # DNS-SD announcements, tested with a private avahi-daemon and D-Bus in
    # a network namespace.
    avahi-daemon avahi-utils dbus
    # The Debian package: build, check and install test.
    dpkg-dev debhelper fakeroot lintian autopkgtest
    # ARM: cross compilers, qemu to run the results, the libraries of each.
    crossbuild-essential-arm64 crossbuild-essential-armhf qemu-user
)
FOREIGN_ARCHES=(arm64 armhf)
FOREIGN_PACKAGES=(libcups2-dev zlib1g-dev libpng-dev libjpeg-dev libgtest-dev libpappl-dev
    libpoppler-cpp-dev)
for arch in "${FOREIGN_ARCHES[@]}"; do
    for pkg in "${FOREIGN_PACKAGES[@]}"; do
        PACKAGES+=("$pkg:$arch")
    done
done

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
for arch in "${FOREIGN_ARCHES[@]}"; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        $SUDO dpkg --add-architecture "$arch"
    fi
done
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
