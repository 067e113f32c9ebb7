#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the panel need, when any
# of them is missing; packages named on the command line are added to the list. With
# --browser first, also what tests/web drives the bridge with: Node.js, npm and Debian's
# Chromium, and the npm packages that tests/web/package-lock.json pins (playwright-core and
# axe-core for the web pages, pjlink for the PJLink face; never a browser).
set -euo pipefail

browser=false
if [ "${1:-}" = --browser ]; then
    browser=true
    shift
fi

# pkg-config finds libmosquitto for CMake; prometheus brings promtool, which checks qv7ctl's
# metrics (Debian ships no promtool alone); openssl makes the certificates of the TLS tests;
# nftables pulls a network cable on loopback; iproute2 and procps make the network namespaces of
# a venue's hosts.
packages=(cmake ninja-build pkg-config g++ clang qt6-base-dev qt6-serialport-dev qt6-websockets-dev fonts-ipafont-gothic
    libmosquitto-dev mosquitto mosquitto-clients
    libclang-rt-14-dev help2man librsvg2-bin dpkg-dev lintian desktop-file-utils appstream
    python3-serial hyperfine ser2net systemd prometheus openssl nftables iproute2 procps "$@")
if $browser; then
    packages+=(nodejs chromium)
    # Node.js from elsewhere brings its own npm, which Debian's would conflict with.
    command -v npm >/dev/null || packages+=(npm)
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing: ${missing[*]}"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

web=$(cd "$(dirname "$0")/../tests/web" && pwd)
if $browser && [ ! "$web/node_modules/.package-lock.json" -nt "$web/package-lock.json" ]; then
    echo "Installing the npm packages of $web"
    (cd "$web" && npm ci --no-audit --no-fund --loglevel=error)
fi
