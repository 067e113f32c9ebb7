#!/usr/bin/env bash
# Builds the Debian packages in the build folder given, holds them against lintian, checks that
# the tools need no window library, unpacks them and runs every program from the unpacked tree,
# the panel and qv7ctl on a network port as well.
set -euo pipefail
build=$1
shift
connects=$(cd "$(dirname "$0")/../support" && pwd)/connects.py
cd "$build"
rm -f qv7rsc*.deb
cpack -G DEB >/dev/null
status=0
for deb in qv7rsc_*.deb qv7rsc-tools_*.deb qv7rsc-network_*.deb; do
    echo "package: $deb ($(dpkg-deb -f "$deb" Depends))"
    report=$(lintian --fail-on error "$deb" 2>&1) || status=$?
    grep -v "running with root privileges" <<<"$report" || true
done
if [ "$status" -ne 0 ]; then
    echo "lintian reports errors" >&2
    exit 1
fi
if dpkg-deb -f qv7rsc-tools_*.deb Depends | grep -Eq 'libqt6(gui|widgets)|qpa|fonts-'; then
    echo "qv7rsc-tools depends on a window library" >&2
    exit 1
fi
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
for deb in qv7rsc*.deb; do
    dpkg-deb -x "$deb" "$tree"
done
for program in "$@"; do
    echo "$program: $(QT_QPA_PLATFORM=offscreen "$tree/usr/bin/$program" --version)"
    # A search path of its own would have the loader try it for every library at every start.
    if readelf -d "$tree/usr/bin/$program" | grep -Eq 'RPATH|RUNPATH'; then
        echo "$program carries a library search path" >&2
        exit 1
    fi
done
# The network transports load from where the package put them.
QT_QPA_PLATFORM=offscreen "$connects" "$tree/usr/bin/qv7rsc" --com1 {port}
"$connects" "$tree/usr/bin/qv7ctl" --port {port} status
