#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz (a configuration of
# its own: -DZHP_FUZZ=ON) and fuzzes the control device for a bounded time,
# starting from a copy of the committed seed corpus so the checkout stays
# clean. Exits non-zero on any finding (crash, verifier stop, hang, leak,
# sanitizer report); the input that caused it is kept in build/fuzz/findings.
#
#   FUZZ_SECONDS   how long to fuzz (default 60)
#   JOBS           build parallelism (default 2)
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-2}
build=build/fuzz

mkdir -p "$build"
echo "== fuzz: configure and build ($build)"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZHP_FUZZ=ON \
  > "$build.log" 2>&1 || { cat "$build.log"; exit 1; }
cmake --build "$build" -j "$jobs" --target zhp_control_fuzz >> "$build.log" 2>&1 || { tail -n 80 "$build.log"; exit 1; }
rm -f "$build.log"

work="$build/work"
findings="$build/findings"
rm -rf "$work"
mkdir -p "$work/control" "$findings"
cp fuzz/corpus/control/* "$work/control/"

echo "== fuzz: zhp_control_fuzz for ${seconds}s"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
"$build/bin/zhp_control_fuzz" "$work/control" \
  -max_total_time="$seconds" -max_len=512 -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
  -artifact_prefix="$findings/" > "$build/fuzz.log" 2>&1 || status=$?
tail -n 25 "$build/fuzz.log"
if [ "$status" -ne 0 ]; then
  echo "fuzz: finding (exit $status); input kept in $findings/, log in $build/fuzz.log"
  exit 1
fi
echo "fuzz: no findings"
