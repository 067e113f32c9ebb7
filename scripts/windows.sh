#!/usr/bin/env bash
# Builds the Windows release and tests it under Wine: scripts/windows.sh [--test]
#
# Qt's base module for Windows is built once from Debian's source into a cache outside the
# checkout (scripts/windows-qt.sh; $QV7_WINDOWS_CACHE, by default ~/.cache/qv7rsc-windows),
# then the panel and qv7ctl are cross-built into build-windows/, which ends with the zip and
# the installer. The tests run them under Wine, in a fresh prefix, against the Linux simulated
# projector on a pseudo-terminal; --test runs only the tests, on a release already built.
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
cache=${QV7_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qv7rsc-windows}
release=$project/build-windows
test_only=false
case "${1:-}" in
--test) test_only=true ;;
"") ;;
*)
    echo "usage: scripts/windows.sh [--test]" >&2
    exit 64
    ;;
esac

# The cross compilers, Wine and NSIS, and the display and tools the tests drive the window with.
scripts/deps.sh g++-mingw-w64-x86-64-posix wine wine64 nsis xvfb xauth xdotool x11-utils

if ! $test_only; then
    t0=$(date +%s)
    scripts/windows-qt.sh "$cache"
    cmake -S . -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$cache/qt/lib/cmake/Qt6/qt.toolchain.cmake" \
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$project/cmake/windows/mingw-w64.cmake"
    cmake --build "$release" -j "$(nproc)"
    (cd "$release" && cpack -q)
    echo "windows: the release is in $release ($(($(date +%s) - t0)) s):"
    ls -l "$release"/qv7rsc-*-win64.zip "$release"/qv7rsc-*-win64.exe
fi

# The Linux side of the tests: the simulated projector and the test program.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tst_wine qv7-projector-sim
# A window that never appears costs each function a minute: more than QtTest allows by default.
QTEST_FUNCTION_TIMEOUT=900000 QV7_WINDOWS_RELEASE=$release xvfb-run -a -s "-screen 0 1280x1024x24" build/tests/windows/tst_wine
