#!/usr/bin/env bash
# Builds the panel and starts it on its built-in simulated projector.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target qv7rsc qv7-projector-sim
exec build/qv7rsc --simulate "$@"
