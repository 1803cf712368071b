#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz (a configuration of
# its own: -DZHP_FUZZ=ON) and fuzzes each target listed in fuzz/targets.txt
# (one a line: TARGET CORPUS-DIR [SECONDS]) for a bounded time, starting from
# a copy of its committed seed corpus so the checkout stays clean. Prints each
# target's executions per second. Exits non-zero on any finding (crash,
# verifier stop, hang, leak, sanitizer report); the input that caused it is
# kept in build/fuzz/findings (a session target's inputs since its last boot
# in build/fuzz/findings/TARGET-session, to replay in order).
#
#   FUZZ_SECONDS   the whole fuzzing time, shared by the targets without a
#                  time of their own (default 80)
#   FUZZ_TARGETS   the list to run (default fuzz/targets.txt)
#   JOBS           build parallelism (default 2)
set -euo pipefail
cd "$(dirname "$0")/../.."

total=${FUZZ_SECONDS:-80}
list=${FUZZ_TARGETS:-fuzz/targets.txt}
jobs=${JOBS:-2}
build=build/fuzz

targets=() corpora=() times=()
while read -r target corpus seconds _; do
  case "$target" in ''|'#'*) continue ;; esac
  if [ -z "$corpus" ]; then echo "fuzz: $list: no corpus folder for $target" >&2; exit 2; fi
  targets+=("$target") corpora+=("$corpus") times+=("${seconds:-}")
done < "$list"
if [ "${#targets[@]}" -eq 0 ]; then echo "fuzz: no targets in $list" >&2; exit 2; fi

# Targets without a time share the rest of the total, at least 5 s each.
fixed=0 shared=0
for t in "${times[@]}"; do
  if [ -n "$t" ]; then fixed=$((fixed + t)); else shared=$((shared + 1)); fi
done
share=0
if [ "$shared" -gt 0 ]; then
  share=$(( (total - fixed) / shared ))
  if [ "$share" -lt 5 ]; then share=5; fi
fi

mkdir -p "$build"
echo "== fuzz: configure and build ($build): ${targets[*]}"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZHP_FUZZ=ON \
  > "$build.log" 2>&1 || { cat "$build.log"; exit 1; }
cmake --build "$build" -j "$jobs" --target "${targets[@]}" >> "$build.log" 2>&1 || { tail -n 80 "$build.log"; exit 1; }
rm -f "$build.log"

work="$build/work"
findings="$build/findings"
rm -rf "$work"
mkdir -p "$findings"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
summary=""
for i in "${!targets[@]}"; do
  target=${targets[$i]} corpus=${corpora[$i]} seconds=${times[$i]:-$share}
  mkdir -p "$work/$target" "$findings/$target-session"
  if [ -d "$corpus" ] && [ -n "$(ls -A "$corpus")" ]; then cp "$corpus"/* "$work/$target/"; fi
  log="$build/$target.log"
  echo "== fuzz: $target for ${seconds}s (seeds: $corpus)"
  status=0
  ZHP_FUZZ_SESSION_DIR="$findings/$target-session" \
    "$build/bin/$target" "$work/$target" \
    -max_total_time="$seconds" -max_len=512 -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$findings/$target-" > "$log" 2>&1 || status=$?
  rmdir "$findings/$target-session" 2>/dev/null || true
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  spent=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  runs=${runs:-0}
  spent=${spent:-$seconds}
  if [ "$spent" -lt 1 ]; then spent=1; fi
  line=$(printf '%-20s %6s runs in %4s s  %8s exec/s' "$target" "$runs" "$spent" "$((runs / spent))")
  if [ "$status" -ne 0 ]; then
    tail -n 25 "$log"
    echo "fuzz: $target: finding (exit $status); input kept in $findings/, log in $log"
    failed+=("$target")
    line="$line  FINDING"
  fi
  echo "$line"
  summary+="$line"$'\n'
done

echo "== fuzz: executions per second"
printf '%s' "$summary"
if [ "${#failed[@]}" -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "fuzz: no findings"
