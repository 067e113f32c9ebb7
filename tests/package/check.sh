#!/usr/bin/env bash
# Builds the Debian packages in the build folder given, holds them against lintian, checks that
# the tools need no window library, unpacks them and runs every program from the unpacked tree.
set -euo pipefail
build=$1
shift
cd "$build"
rm -f qv7rsc*.deb
cpack -G DEB >/dev/null
status=0
for deb in qv7rsc_*.deb qv7rsc-tools_*.deb; do
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
done
