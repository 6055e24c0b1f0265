#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, and only those
# that are missing, so that a second run costs nothing. Nothing comes from anywhere but
# Debian's own archive.
set -euo pipefail

packages=(
    # build
    cmake ninja-build git g++ clang clang-format libclang-rt-14-dev googletest libgtest-dev
    g++-mingw-w64-x86-64-posix
    # running and testing the Windows program
    wine wine64 xvfb xauth x11-utils imagemagick
    # local servers and the private network namespace they run in
    nginx-light openssl python3 iproute2 util-linux procps
    # the Japanese locale that names in code page 932 are tested under
    locales
    # signing a buyer's copy (tools/store/make-copy)
    osslsigncode
    # real installers (NSIS) for the install tests and the demo
    nsis
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
