#!/usr/bin/env bash
# Builds Qt's base module for 64-bit Windows from Debian's own source package, once, into
# CACHE/qt (usage: scripts/windows-qt.sh CACHE). Qt for Windows is not packaged, and Qt's serial
# port module cannot be had: its source is not on the registry, so the engine has its own
# Windows serial transport. The build is kept until this recipe, the toolchain file or the
# source's version changes; CACHE/qt/recipe says which recipe made it.
#
# Only what the programs use is built: Core, Gui, Widgets, Network, the Windows platform plugin
# and the Vista style. Shared libraries, so that users may replace Qt's DLLs.
set -euo pipefail

project=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:?usage: scripts/windows-qt.sh CACHE}
toolchain=$project/cmake/windows/mingw-w64.cmake
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# The host's Qt runs moc, rcc and uic for the cross build, so the source is the host's version.
version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
recipe=$( (
    echo "qt6-base $version"
    cat "$0" "$toolchain"
) | sha256sum | cut -c1-16)
if [ "$(cat "$cache/qt/recipe" 2>/dev/null)" = "$recipe" ]; then
    echo "windows-qt: Qt $version for Windows is in $cache/qt (recipe $recipe)"
    exit 0
fi

say() { echo "windows-qt: $*"; }
t0=$(date +%s)
rm -rf "$cache/qt" "$cache/qt-build" "$cache/qt-source"
mkdir -p "$cache/qt-source" "$cache/apt/lists/partial" "$cache/apt/cache/archives/partial"

# The source comes through apt with a list of its own, so the machine's sources are untouched:
# a deb-src line for every deb line that apt already uses.
apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
    'Identifier: Packages' | sort -u |
    awk '{ print "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] " $0 }' \
    >"$cache/apt/sources.list"
aptopts=(-o "Dir::Etc::SourceList=$cache/apt/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
    -o "Dir::State::Lists=$cache/apt/lists" -o "Dir::Cache=$cache/apt/cache"
    -o "APT::Sandbox::User=root")
say "fetching the source of qt6-base $version"
apt-get "${aptopts[@]}" -q update >"$cache/apt/update.log" 2>&1 || {
    cat "$cache/apt/update.log" >&2
    exit 1
}
(cd "$cache/qt-source" && apt-get "${aptopts[@]}" -q source "qt6-base=$version") \
    >"$cache/apt/source.log" 2>&1 || {
    tail -n 20 "$cache/apt/source.log" >&2
    exit 1
}
source=$(find "$cache/qt-source" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)

say "configuring Qt for Windows in $cache/qt-build"
# wintab.h is not in Debian's source (its licence), so tablet events are off. Qt 6.4 builds
# its DirectWrite font database only with Direct2D, which nothing here uses, but the platform
# plugin calls it whenever DirectWrite 3 is on; GDI, Qt 6.4's default font engine, draws.
cmake -S "$source" -B "$cache/qt-build" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$cache/qt" \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_QMAKE_TARGET_MKSPEC=win32-g++ \
    -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_testlib=OFF -DFEATURE_sql=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF -DINPUT_opengl=no \
    -DFEATURE_vulkan=OFF -DFEATURE_openssl=OFF -DFEATURE_direct2d=OFF \
    -DFEATURE_tabletevent=OFF -DFEATURE_sql_sqlite=OFF -DFEATURE_directwrite3=OFF \
    >"$cache/qt-configure.log" 2>&1 || {
    tail -n 40 "$cache/qt-configure.log" >&2
    exit 1
}
say "building Qt for Windows (about 20 minutes on 2 cores; log in $cache/qt-build.log)"
cmake --build "$cache/qt-build" -j "$(nproc)" >"$cache/qt-build.log" 2>&1 || {
    tail -n 40 "$cache/qt-build.log" >&2
    exit 1
}
cmake --install "$cache/qt-build" >"$cache/qt-install.log" 2>&1
echo "$recipe" >"$cache/qt/recipe"
rm -rf "$cache/qt-build" "$cache/qt-source"
say "Qt $version for Windows built in $(($(date +%s) - t0)) s into $cache/qt"
