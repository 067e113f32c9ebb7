#!/bin/sh
# Builds the libFuzzer targets in build-fuzz and runs each for SECONDS (default 30) on a copy
# of its seed corpus, so the committed seeds never grow. Exits non-zero when a fuzzer fails.
set -u

seconds=${1:-30}
case $seconds in
'' | *[!0-9]*)
    echo "usage: $0 [SECONDS]" >&2
    exit 2
    ;;
esac

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$root/build-fuzz
fuzzers="fuzz_traffic fuzz_projector fuzz_telnet fuzz_pjlink fuzz_http"

count() { echo "$fuzzers" | wc -w; }

mkdir -p "$build"
buildlog=$build/fuzz-build.log
if ! { CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV7_FUZZ=ON -DBUILD_TESTING=OFF &&
    cmake --build "$build" --target $fuzzers -j1; } >"$buildlog" 2>&1; then
    tail -n 40 "$buildlog"
    echo "the fuzzers did not build; full log $buildlog"
    echo "0 passed, $(count) failed"
    exit 1
fi

passed=0
failed=0
for fuzzer in $fuzzers; do
    seeds=$here/corpus/${fuzzer#fuzz_}
    corpus=$build/fuzz-corpus/$fuzzer
    artifacts=$build/fuzz-artifacts/$fuzzer
    log=$build/fuzz-logs/$fuzzer.log
    # The copy keeps what earlier runs found; the seeds are put back in case they were removed.
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    cp "$seeds"/* "$corpus"/
    echo "$fuzzer: ${seconds} s on $corpus"
    if "$build/tests/fuzz/$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1; then
        passed=$((passed + 1))
        echo "$fuzzer: clean; $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)"
    else
        failed=$((failed + 1))
        tail -n 40 "$log"
        echo "$fuzzer: FAILED; full log $log, inputs in $artifacts"
    fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
