#!/usr/bin/env bash
# Whole-process time of "qv7ctl status" against a minimal Python script with pyserial that
# sends CR0 and reads up to the carriage return, both asking the simulated projector on a
# pseudo-terminal, measured in one hyperfine run. Usage: bench/ctl_vs_pyserial.sh [BUILD_DIR]
# (RUNS=50 by default).
set -euo pipefail

build=${1:-build}
runs=${RUNS:-50}
python=/usr/bin/python3 # Debian's, with python3-serial
work=$(mktemp -d)
"$build/sim/qv7-projector-sim" >"$work/sim.log" &
simulator=$!
trap 'kill "$simulator"; rm -rf "$work"' EXIT
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

echo "qv7ctl answers: $("$build/qv7ctl" --port "$port" status)"
echo "pyserial answers: $("$python" "$work/status.py" "$port")"
hyperfine --shell=none --warmup 5 --runs "$runs" \
    --command-name "qv7ctl status" "$build/qv7ctl --port $port status" \
    --command-name "pyserial CR0" "$python $work/status.py $port"
