#!/usr/bin/env bash
# The main job. Builds what is needed and runs the demonstration.
set -euo pipefail
cd "$(dirname "$0")/../.."
tools/dev/install-deps.sh
cmake --preset host > /dev/null
cmake --build --preset host -j "${JOBS:-2}" --target kernel_bench > /dev/null
echo "== host kernel: one thread ticking on a 1 ms timer for a simulated hour"
build/host/bin/kernel_bench 3600
