#!/usr/bin/env bash
# The main job: the simulated notebook protected by ZHP, with Sentrel on a
# desktop, used as a person uses them.
#
# Installs what is missing, builds the notebook, the driver, zhpctl and
# Sentrel, starts `notebook serve` (real time, a temporary state directory and
# socket) and Sentrel - on your display when DISPLAY is set, else on a
# virtual desktop (tools/dev/desktop.sh) - then, with real clicks: switches
# protection on with the tray icon, starts the QC static test with "&TEST",
# and drops the notebook four times while a program writes to its disk. It
# ends with the per-drop protection table, the utility's verdict from its
# report file, and the folder with the screenshots and the drops' pictures.
# No display needed; about a minute and a half.
#
#   ZHP_DEMO_OUT=DIR   where the screenshots and pictures go
#                      (default build/demo/<date-time>)
#   ZHP_DEMO_BIN=DIR   run binaries built elsewhere; skip installing and building
set -euo pipefail
cd "$(dirname "$0")/../.."
top=$PWD

say() { echo "== $*"; }
fail() { echo "demo: $*" >&2; exit 1; }

if [ -z "${ZHP_DEMO_BIN:-}" ]; then
  tools/dev/install-deps.sh
  say "build (notebook, ZHP, zhpctl, Sentrel)"
  cmake --preset host > /dev/null
  cmake --build --preset host -j "${JOBS:-2}" --target notebook zhp zhpctl sentrel > /dev/null
fi
bin=$(cd "${ZHP_DEMO_BIN:-build/host/bin}" && pwd)
out=${ZHP_DEMO_OUT:-build/demo/$(date +%Y%m%d-%H%M%S)}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# One main job at a time: a second one would fight the first for the clicks.
lock=/tmp/zhp-demo-$(id -u).lock
exec 8> "$lock"
flock -n 8 || fail "another main job is running (lock $lock); let it finish or stop it first"

work=$(mktemp -d /tmp/zhp-demo-XXXXXX)
export ZHP_NOTEBOOK_SOCKET=$work/notebook.sock
serve_pid=""
sentrel_pid=""
desktop=""
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$sentrel_pid" ] && kill -0 "$sentrel_pid" 2> /dev/null; then
    kill -TERM "$sentrel_pid" 2> /dev/null || true
    wait "$sentrel_pid" 2> /dev/null || true
  fi
  if [ -n "$serve_pid" ] && kill -0 "$serve_pid" 2> /dev/null; then
    kill -TERM "$serve_pid" 2> /dev/null || true
    wait "$serve_pid" 2> /dev/null || true
  fi
  [ -z "$desktop" ] || "$top/tools/dev/desktop.sh" stop "$desktop"
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted; stopping Sentrel, the notebook and the desktop" >&2; exit 130' INT TERM

ctl() { "$bin/notebook" ctl "$@"; }
a11y() { /usr/bin/python3 "$top/tools/dev/a11y.py" "$@"; }
app=Halvorin  # Sentrel's application title, as the accessibility bus names it

# ---- the desktop -------------------------------------------------------------
if [ -n "${DISPLAY:-}" ] && xdpyinfo > /dev/null 2>&1; then
  say "Sentrel on your display $DISPLAY"
  if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
    echo "   (no session bus: the accessibility tree is not readable; the demo needs it)" >&2
    fail "start it from a desktop session, or unset DISPLAY to use the virtual desktop"
  fi
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
else
  desktop=$work/desktop
  display=$("$top/tools/dev/desktop.sh" start "$desktop")
  # shellcheck disable=SC1091
  source "$desktop/env"
  say "Sentrel on a virtual desktop (display $display, with a system tray)"
fi

shot() { import -window root "$out/$1.png"; echo "   screenshot: $1.png"; }
# Sentrel's windows on the X server (the tray icon is one of them).
windows() { xdotool search --onlyvisible --pid "$sentrel_pid" 2> /dev/null || true; }
tray_icon() {
  local wid
  for wid in $(xdotool search --pid "$sentrel_pid" 2> /dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$wid" 2> /dev/null)" || continue
    if [ "$WIDTH" -gt 1 ] && [ "$WIDTH" -le 32 ] && [ "$HEIGHT" -gt 1 ] && [ "$HEIGHT" -le 32 ]; then
      echo "$((X + WIDTH / 2)) $((Y + HEIGHT / 2))"
      return 0
    fi
  done
  return 1
}
click_node() {  # ROLE NAME: a left click in the middle of a control on screen
  local json
  json=$(a11y wait "$app" "$1" "$2" 10) || fail "no $1 \"$2\" on screen"
  set -- $(echo "$json" | sed 's/.*"extents": \[\([-0-9]*\), \([-0-9]*\), \([0-9]*\), \([0-9]*\)\].*/\1 \2 \3 \4/')
  xdotool mousemove --sync $(($1 + $3 / 2)) $(($2 + $4 / 2)) click 1
}
commands() { grep '"event":"ioctl"' "$out/events.jsonl" 2> /dev/null | sed 's/.*"cmd":\([0-9]*\).*/\1/' | tr '\n' ' '; }
wait_for() {  # SECONDS WHAT COMMAND...
  local seconds=$1 what=$2
  shift 2
  for _ in $(seq 1 $((seconds * 10))); do
    "$@" > /dev/null 2>&1 && return 0
    sleep 0.1
  done
  fail "gave up after ${seconds}s waiting for $what"
}

# ---- the notebook and Sentrel ------------------------------------------------
say "notebook serve (event log of every control request: $out/events.jsonl)"
"$bin/notebook" serve --state "$work/state" --events "$out/events.jsonl" > "$work/live.log" 2> "$work/serve.err" &
serve_pid=$!
for _ in $(seq 1 300); do
  ctl status > /dev/null 2>&1 && break
  kill -0 "$serve_pid" 2> /dev/null || { cat "$work/serve.err" >&2; fail "the notebook did not start"; }
  sleep 0.1
done

say "Sentrel starts"
"$bin/sentrel" > "$work/sentrel.log" 2>&1 &
sentrel_pid=$!
wait_for 15 "Sentrel's main window" a11y wait "$app" "push button" TEST 1
wait_for 10 "start-up's commands" sh -c "grep -q '\"cmd\":101' '$out/events.jsonl'"
sleep 0.5
echo "   the driver received: $(commands)"
shot 1-main-window

# ---- protection on, with a click on the tray icon ---------------------------
before=$(commands)
if tray=$(tray_icon); then
  say "a click on the tray icon switches protection on"
  set -- $tray
  xdotool mousemove --sync "$1" "$2" click 1
else
  say "no system tray on this desktop: Sentrel goes on without its icon; protection on with \"Enable\""
  a11y press "$app" "radio button" Enable
fi
wait_for 10 "the switch-on commands" sh -c "grep -c '\"event\":\"ioctl\"' '$out/events.jsonl' | grep -qv '^$(echo $before | wc -w)\$'"
sleep 1
echo "   the driver received: ${before}then $(commands | cut -d' ' -f$(($(echo $before | wc -w) + 1))-)"

# ---- the QC static test: "&TEST", then four drops while a program writes ----
say "writes to the disk, every 10 ms"
ctl writes 4000 every 10ms > /dev/null
say "a click on \"&TEST\" starts the QC static test"
click_node "push button" TEST
sleep 1
n=0
for height in 0.3 0.5 0.7 1.0; do
  n=$((n + 1))
  say "drop $n from $height m"
  ctl drop "$height" > /dev/null
  if [ "$n" -eq 1 ]; then
    wait_for 5 "the fall picture" a11y showing "$app" image "Free fall"
    shot 2-during-a-fall
  fi
  # The fall, the bounces, the sensor's line dropping, and Sentrel's
  # 2-second recovery; ZHP releases the held requests 3 s after the line.
  sleep 4.5
done
wait_for 15 "the QC test's verdict" a11y showing "$app" image "Test passed"
sleep 0.5
shot 3-test-passed

# ---- the settings dialog with its event log ---------------------------------
say "\"Configuration\" opens the settings dialog: the event log and the live readout"
a11y press "$app" "push button" Configuration
wait_for 10 "the settings dialog" xdotool search --onlyvisible --name "^Halvorinion Setup\$"
a11y press "$app" "page tab" Status > /dev/null 2>&1 || true
ctl tilt 20 10 > /dev/null
sleep 1.5
shot 4-settings-dialog
a11y press "$app" "push button" Done
sleep 0.5

# ---- the tray, and the end ---------------------------------------------------
if tray=$(tray_icon); then
  set -- $tray
  import -window root -crop 200x40+$(($1 - 180))+0 "$out/5-tray.png" && echo "   screenshot: 5-tray.png"
  say "the tray menu's \"Exit\" ends Sentrel"
  shown_before=$(windows | sort)
  xdotool mousemove --sync "$1" "$2" click 3
  wait_for 5 "the tray menu" sh -c "[ \"\$(xdotool search --onlyvisible --pid $sentrel_pid | sort)\" != \"$shown_before\" ]"
  sleep 0.3
  xdotool key Down Down Return
else
  say "the close box ends Sentrel"
  xdotool key --window "$(windows | head -1)" alt+F4
fi
wait_for 15 "Sentrel to end" sh -c "! kill -0 $sentrel_pid"
wait "$sentrel_pid" || true
sentrel_pid=""
last=$(grep '"event":"ioctl"' "$out/events.jsonl" | tail -1)
echo "   its last command: $(echo "$last" | sed 's/.*"cmd":\([0-9]*\).*"request":\[\([0-9,]*\)\].*/\1, words \2/' | cut -c1-60)..."

echo
say "the drops (times after release; detected: the sensor's interrupt line; park cmd: ZHP's park"
echo "   command at the disk; heads off: heads on the ramp; held/released: requests ZHP held back)"
ctl report
echo
report=$work/state/drive_c/Users/Public/G_TEST.txt
say "Sentrel's verdict (C:\\Users\\Public\\G_TEST.txt)"
if [ -f "$report" ]; then
  tr -d '\r' < "$report"
  echo
  cp "$report" "$out/G_TEST.txt"
else
  echo "   (no report file)"
fi
if [ -d "$work/state/plots" ]; then
  cp "$work/state/plots/"*.svg "$out/" 2> /dev/null || true
fi

kill -TERM "$serve_pid"
status=0
wait "$serve_pid" || status=$?
serve_pid=""
[ "$status" -eq 0 ] || { cat "$work/serve.err" >&2; fail "the notebook ended with status $status"; }
echo
say "screenshots, the drops' pictures and the event log: $out"
ls "$out"
grep -q -- '-----Pass' "$out/G_TEST.txt" 2> /dev/null || fail "the QC test did not pass"
