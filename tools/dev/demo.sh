#!/usr/bin/env bash
# The main job: the simulated notebook, protected by ZHP, dropped five times
# while a program writes to its disk.
#
# Installs what is missing, builds the notebook, the driver and zhpctl,
# starts `notebook serve` in the background (real time, a temporary state
# directory and socket), switches the protection on through the control
# device as the utility does, streams writes to the disk, drops the notebook
# from heights between 0.3 and 1 m, and ends with a table of the drops. No
# display needed.
set -euo pipefail
cd "$(dirname "$0")/../.."

# ZHP_DEMO_BIN=DIR runs binaries built elsewhere and skips installing and building.
if [ -z "${ZHP_DEMO_BIN:-}" ]; then
  tools/dev/install-deps.sh
  echo "== build (notebook, ZHP, zhpctl)"
  cmake --preset host > /dev/null
  cmake --build --preset host -j "${JOBS:-2}" --target notebook zhp zhpctl > /dev/null
fi

bin=${ZHP_DEMO_BIN:-build/host/bin}
work=$(mktemp -d /tmp/zhp-demo-XXXXXX)
export ZHP_NOTEBOOK_SOCKET=$work/notebook.sock
serve_pid=""
watch_pid=""
tail_pid=""
cleanup() {
  for pid in $watch_pid $tail_pid; do kill "$pid" 2> /dev/null || true; done
  if [ -n "$serve_pid" ] && kill -0 "$serve_pid" 2> /dev/null; then
    kill -TERM "$serve_pid" 2> /dev/null || true
    wait "$serve_pid" 2> /dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

ctl() { "$bin/notebook" ctl "$@"; }
zhpctl() { "$bin/zhpctl" "$@"; }

echo "== notebook serve (state and socket in $work)"
"$bin/notebook" serve --state "$work/state" > "$work/live.log" 2> "$work/serve.err" &
serve_pid=$!
for _ in $(seq 1 300); do
  ctl status > /dev/null 2>&1 && break
  kill -0 "$serve_pid" 2> /dev/null || { cat "$work/serve.err"; exit 1; }
  sleep 0.1
done
ctl status > /dev/null
tail -n +1 -f "$work/live.log" &
tail_pid=$!

# A user-mode program waiting on the driver's events, as the utility's wait thread does.
zhpctl watch > "$work/watch.log" 2>&1 &
watch_pid=$!

echo "== protection on, as the utility switches it on: 107 (start-up), 102, 106, 203, 111, 111"
zhpctl --json 107
zhpctl --json 102 16=50 32=10 36=1
zhpctl --json 106
zhpctl --json 203
zhpctl --json 111 16=50 36=1
zhpctl --json 111 16=50 36=1
flag=$(zhpctl --json 107 | sed 's/.*"words":\[\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\3/')
if [ $((flag & 2)) -eq 0 ]; then
  echo "demo: protection did not switch on (driver flag word $flag)" >&2
  exit 1
fi

echo "== writes to the disk, every 10 ms"
ctl writes 2500 every 10ms
sleep 1

for height in 0.3 0.5 0.7 0.85 1.0; do
  echo "== drop from $height m"
  ctl drop "$height"
  # The fall, the bounces, the sensor's line going down and ZHP's 3-second
  # recovery before the held requests go to the disk.
  sleep 4.5
done
sleep 1

kill "$tail_pid" 2> /dev/null || true
tail_pid=""
echo
echo "== what the watching program saw (Global\\VrFFEvent01 fall, Global\\VrFFEvent02 release)"
grep -E 'fall|release' "$work/watch.log" | grep -v watching || true
echo
echo "== the drops (times after release; detected: the sensor's interrupt line; park cmd: ZHP's park"
echo "   command at the disk; heads off: heads on the ramp; held/released: requests ZHP held back)"
ctl report
echo
ctl status
kill -TERM "$serve_pid"
status=0
wait "$serve_pid" || status=$?
serve_pid=""
if [ "$status" -ne 0 ]; then
  echo "demo: the notebook ended with status $status" >&2
  cat "$work/serve.err" >&2
  exit 1
fi
echo "== notebook stopped cleanly; its state (the saved registry) goes with $work"
