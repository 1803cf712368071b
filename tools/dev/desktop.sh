#!/usr/bin/env bash
# A desktop without a display, for the utility's end-to-end tests and the main
# job: an X server (Xvfb) on a display number of its own, a D-Bus session bus
# with the accessibility bus (AT-SPI, what a screen reader reads), a window
# manager (openbox: title bars, focus, stacking as a user's desktop has them)
# and a standalone system tray (trayer), so that a tray icon really exists.
#
#   desktop.sh run [--no-tray] [--size WxH] -- COMMAND [ARG...]
#       starts a desktop, runs COMMAND in it (DISPLAY, DBUS_SESSION_BUS_ADDRESS
#       and ZHP_DESKTOP_DIR set), stops the desktop and returns COMMAND's status.
#   desktop.sh start [--no-tray] [--size WxH] DIR
#       starts a desktop whose state lives in DIR and writes DIR/env, a file to
#       source; prints the display. `desktop.sh stop DIR` ends it.
#
# Nothing is left running: every process started here is stopped by `stop`
# (or when `run` ends, also on Ctrl-C), and the X server's lock file goes with
# its server.
set -euo pipefail

usage() { sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

tray=1
size=1280x800
parse_options() {
  while [ $# -gt 0 ]; do
    case "$1" in
      --no-tray) tray=0; shift ;;
      --size) size=$2; shift 2 ;;
      *) break ;;
    esac
  done
  rest=("$@")
}

need() {
  local missing=()
  for tool in Xvfb dbus-daemon xdotool openbox; do command -v "$tool" > /dev/null || missing+=("$tool"); done
  [ "$tray" -eq 0 ] || command -v trayer > /dev/null || missing+=(trayer)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "desktop: missing ${missing[*]} (tools/dev/install-deps.sh installs them)" >&2
    exit 1
  fi
}

start_desktop() {
  local dir=$1
  need
  mkdir -p "$dir"
  : > "$dir/pids"

  # Xvfb picks a free display number itself and writes it to the descriptor.
  exec 9> "$dir/display"
  setsid Xvfb -displayfd 9 -screen 0 "${size}x24" -nolisten tcp -noreset > "$dir/xvfb.log" 2>&1 &
  echo "$!" >> "$dir/pids"
  exec 9>&-
  local display=""
  for _ in $(seq 1 100); do
    display=$(cat "$dir/display" 2> /dev/null || true)
    [ -n "$display" ] && break
    sleep 0.05
  done
  if [ -z "$display" ]; then
    echo "desktop: the X server did not start:" >&2
    cat "$dir/xvfb.log" >&2
    stop_desktop "$dir"
    exit 1
  fi
  export DISPLAY=":$display"

  # The session bus; the accessibility bus is started on it at once, so the
  # first program that asks for it finds it.
  local bus
  bus=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1 | tr '\n' ' ')
  set -- $bus
  export DBUS_SESSION_BUS_ADDRESS=$1
  echo "$2" >> "$dir/pids"
  if [ -x /usr/libexec/at-spi-bus-launcher ]; then
    setsid /usr/libexec/at-spi-bus-launcher --launch-immediately > "$dir/atspi.log" 2>&1 &
    echo "$!" >> "$dir/pids"
  fi

  xsetroot -solid '#2f5f8f' 2> /dev/null || true

  # The window manager, before any window is mapped.
  # Its defaults, less the desktops' switching and the menus: a plain frame for each window.
  cat > "$dir/openbox.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <desktops><number>1</number></desktops>
  <focus><focusNew>yes</focusNew></focus>
</openbox_config>
XML
  setsid openbox --sm-disable --config-file "$dir/openbox.xml" > "$dir/openbox.log" 2>&1 &
  echo "$!" >> "$dir/pids"
  for _ in $(seq 1 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2> /dev/null | grep -q 'window id' && break
    sleep 0.05
  done

  if [ "$tray" -eq 1 ]; then
    setsid trayer --edge top --align right --widthtype request --height 24 --transparent false \
      --tint 0x404040 --SetDockType true --SetPartialStrut true --expand true > "$dir/trayer.log" 2>&1 &
    echo "$!" >> "$dir/pids"
    # The tray is there once the selection owner of the tray protocol exists.
    for _ in $(seq 1 100); do
      xdotool search --classname trayer > /dev/null 2>&1 && break
      sleep 0.05
    done
  fi

  cat > "$dir/env" <<EOF
export DISPLAY=$DISPLAY
export DBUS_SESSION_BUS_ADDRESS='$DBUS_SESSION_BUS_ADDRESS'
export ZHP_DESKTOP_DIR='$dir'
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
EOF
  echo "$DISPLAY"
}

stop_desktop() {
  local dir=$1
  [ -f "$dir/pids" ] || return 0
  local pids
  pids=$(tac "$dir/pids")
  # Each was started as the leader of a process group of its own, so its
  # children (the accessibility bus's own daemon) go with it.
  for pid in $pids; do kill -TERM -- "-$pid" 2> /dev/null || kill -TERM "$pid" 2> /dev/null || true; done
  for _ in $(seq 1 50); do
    local alive=0
    for pid in $pids; do kill -0 "$pid" 2> /dev/null && alive=1; done
    [ "$alive" -eq 0 ] && break
    sleep 0.05
  done
  for pid in $pids; do kill -KILL -- "-$pid" 2> /dev/null || kill -KILL "$pid" 2> /dev/null || true; done
  rm -f "$dir/pids"
}

command=${1:-}
[ -n "$command" ] || usage
shift
case "$command" in
  start)
    parse_options "$@"
    [ ${#rest[@]} -eq 1 ] || usage
    start_desktop "${rest[0]}"
    ;;
  stop)
    [ $# -eq 1 ] || usage
    stop_desktop "$1"
    ;;
  run)
    parse_options "$@"
    [ "${rest[0]:-}" = "--" ] || usage
    rest=("${rest[@]:1}")
    [ ${#rest[@]} -gt 0 ] || usage
    dir=$(mktemp -d /tmp/zhp-desktop-XXXXXX)
    trap 'stop_desktop "$dir"; rm -rf "$dir"' EXIT
    trap 'exit 130' INT TERM
    start_desktop "$dir" > /dev/null
    # shellcheck disable=SC1091
    source "$dir/env"
    status=0
    "${rest[@]}" || status=$?
    exit "$status"
    ;;
  *) usage ;;
esac
