#!/usr/bin/env bash
# The full test run: installs what is missing, builds the host, sanitizer and
# Windows presets, checks the Windows binaries' imports, and runs the host and
# sanitizer test suites. Ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/../.."

tools/dev/install-deps.sh

# A compiler cache, when the machine has one: the same sources built again (a
# second checkout, the sanitizer's and the fuzzer's trees) cost little.
# Paths are taken relative to the checkout, so another clone shares it.
if command -v ccache > /dev/null; then
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

jobs=${JOBS:-2}
for preset in host sanitize windows; do
  echo "== configure and build: $preset"
  cmake --preset "$preset" > "build-$preset.log" 2>&1 || { cat "build-$preset.log"; exit 1; }
  cmake --build --preset "$preset" -j "$jobs" >> "build-$preset.log" 2>&1 || { tail -n 80 "build-$preset.log"; exit 1; }
  rm -f "build-$preset.log"
done

tools/dev/check-windows-imports.sh build/windows
tools/dev/fuzz.sh

echo "== tests: host"
ctest --preset host -j "$jobs"
echo "== tests: sanitize"
ctest --preset sanitize -j "$jobs"
