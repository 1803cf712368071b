#!/usr/bin/env bash
# Renders Sentrel's windows at their layout sizes into docs/screenshots/
# (PNG): with the English caption file, with the German one (locale 1031),
# and with no caption file at all (the built-in texts). Each variant runs
# against a `notebook serve` of its own in a temporary directory, offscreen,
# so no display is needed.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build/host}
out=${1:-$root/docs/screenshots}
cd "$root"
if [ -f /work/wt/ccache.env ]; then source /work/wt/ccache.env; fi
[ -d "$build" ] || cmake --preset host >/dev/null
cmake --build "$build" -j2 --target notebook zhp sentrel_snapshot >/dev/null

mkdir -p "$out"
tmp=$(mktemp -d /tmp/sentrel-screens-XXXXXX)
serve_pid=
cleanup() {
  if [ -n "$serve_pid" ]; then kill "$serve_pid" 2>/dev/null || true; wait "$serve_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# variant: suffix, serve arguments, whether the caption files stay
shoot() {
  local suffix=$1 keep=$2; shift 2
  local state=$tmp/state$suffix sock=$tmp/notebook$suffix.sock
  "$build/bin/notebook" serve --state "$state" --socket "$sock" "$@" >"$tmp/serve$suffix.log" 2>&1 &
  serve_pid=$!
  for _ in $(seq 600); do
    grep -q "serving user mode on" "$tmp/serve$suffix.log" 2>/dev/null && break
    sleep 0.1
  done
  if [ "$keep" = no ]; then find "$state/drive_c" -name 'Captions*.txt' -delete; fi
  QT_QPA_PLATFORM=offscreen ZHP_NOTEBOOK_SOCKET=$sock "$build/bin/sentrel_snapshot" "$out" "$suffix"
  kill "$serve_pid"; wait "$serve_pid" 2>/dev/null || true
  serve_pid=
}

shoot "" yes
shoot "-de" yes --locale 1031
shoot "-builtin" no
echo "screenshots in $out"
