#!/usr/bin/env bash
# Whole-process time of "qv7ctl status" against its floor (bare_status: QSerialPort alone,
# CR0 out and the answer in) and a minimal Python script with pyserial doing the same, all
# asking the simulated projector on a pseudo-terminal, in one hyperfine run: first on the
# machine as it is, then while helper processes hold BUSY open files (20,000 by default; 0
# skips it), as a desktop with a browser or a server with a database does. Prints each
# program's ratio to the floor. Usage: bench/ctl_vs_pyserial.sh [BUILD_DIR [QV7CTL...]]
# (RUNS=50 by default); each further qv7ctl (an older build's, say) joins the same runs.
set -euo pipefail

build=${1:-build}
others=("${@:2}")
runs=${RUNS:-50}
busy=${BUSY:-20000}
python=/usr/bin/python3 # Debian's, with python3-serial
work=$(mktemp -d)
"$build/sim/qv7-projector-sim" >"$work/sim.log" &
simulator=$!
helpers=()
trap 'kill "$simulator" "${helpers[@]}" 2>/dev/null; rm -rf "$work"' EXIT
until [ -s "$work/sim.log" ]; do sleep 0.05; done
port=$(head -n 1 "$work/sim.log")
# A real projector is always listening; the simulator looks for a newly opened line only now
# and then. Holding the line open between runs keeps it listening, so that its polling is not
# what the runs measure.
exec 3<"$port"

cat >"$work/status.py" <<'PY'
import sys

import serial

with serial.Serial(sys.argv[1], 19200, timeout=2) as line:
    line.write(b"CR0\r")
    print(line.read_until(b"\r").decode("ascii", "replace").strip())
PY

cat >"$work/hold.py" <<'PY'
import os, resource, signal, sys

count = int(sys.argv[1])
_, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, count + 64), hard))
held = [os.open("/dev/null", os.O_RDONLY) for _ in range(count)]
print("holding", len(held), flush=True)
signal.pause()
PY

echo "qv7ctl answers: $("$build/qv7ctl" --port "$port" status)"
echo "floor answers: $("$build/bench/bare_status" "$port")"
echo "pyserial answers: $("$python" "$work/status.py" "$port")"

# Each program's mean over the floor's, from hyperfine's export.
ratio() {
    "$python" - "$1" <<'PY'
import json, sys

means = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
floor = means.pop("floor")
for command, mean in means.items():
    print("%s / floor: %.2fx (%.1f ms against %.1f ms)" % (command, mean / floor, mean * 1e3, floor * 1e3))
PY
}

extra=()
for other in "${others[@]}"; do
    extra+=(--command-name "$other status" "$other --port $port status")
done

measure() {
    echo "== $2"
    hyperfine --shell=none --warmup 5 --runs "$runs" --export-json "$work/$1.json" \
        --command-name "qv7ctl status" "$build/qv7ctl --port $port status" \
        --command-name "floor" "$build/bench/bare_status $port" \
        --command-name "pyserial CR0" "$python $work/status.py $port" \
        "${extra[@]}"
    ratio "$work/$1.json"
}

measure quiet "a quiet machine"
if [ "$busy" -gt 0 ]; then
    # Four helpers, so that no one process needs a descriptor limit above a quarter.
    for i in 1 2 3 4; do
        "$python" "$work/hold.py" $((busy / 4)) >"$work/hold.$i.log" 3<&- &
        helpers+=($!)
    done
    for i in 1 2 3 4; do
        until grep -q holding "$work/hold.$i.log" 2>/dev/null; do
            kill -0 "${helpers[i - 1]}" || { echo "a helper could not hold its files" >&2; exit 1; }
            sleep 0.05
        done
    done
    measure busy "while other processes hold $busy open files"
fi
