#!/usr/bin/env bash
# Builds the Debian package in the build folder given, holds it against lintian, unpacks it
# and runs every program from the unpacked tree.
set -euo pipefail
build=$1
shift
cd "$build"
rm -f qv7rsc_*.deb
cpack -G DEB >/dev/null
deb=$(echo qv7rsc_*.deb)
echo "package: $deb"
status=0
report=$(lintian --fail-on error "$deb" 2>&1) || status=$?
grep -v "running with root privileges" <<<"$report" || true
if [ "$status" -ne 0 ]; then
    echo "lintian reports errors in $deb" >&2
    exit 1
fi
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
for program in "$@"; do
    echo "$program: $(QT_QPA_PLATFORM=offscreen "$tree/usr/bin/$program" --version)"
done
