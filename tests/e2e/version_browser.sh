#!/usr/bin/env bash
# What a person does: under a virtual X display, open the versions of a
# document from the command line, pick the version before the current one with
# the keyboard, restore it as a copy beside the document, and close the window,
# which ends the program.
#
#   version_browser.sh STRATALOOM STRATALOOM_CLI
set -euo pipefail
app=$1 cli=$2
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (./test installs it)"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/strataloom-e2e-XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  [ ! -s "$work/app.log" ] || sed 's/^/  strataloom: /' "$work/app.log" >&2
  exit 1
}
# wait_for WHAT SECONDS COMMAND...: runs COMMAND until it succeeds.
wait_for() {
  local what=$1 deadline=$((SECONDS + $2))
  shift 2
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for $what"
    sleep 0.1
  done
}
window_of() { xdotool search --onlyvisible --pid "$1" 2>/dev/null | head -n 1; }
has_window() { [ -n "$(window_of "$1")" ]; }

mkdir -p "$work/home" "$work/data" "$work/config/Strataloom" "$work/runtime" "$work/docs"
chmod 700 "$work/runtime"
export HOME=$work/home XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY SESSION_MANAGER
printf '[General]\nnoUpdateCheck=true\n' >"$work/config/Strataloom/Strataloom.conf"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for "the virtual display" 20 test -s "$work/display"
DISPLAY=":$(head -n 1 "$work/display")"
export DISPLAY

# A document with two saved versions.
doc="$work/docs/Quarterly Report.txt"
contents=("first draft" "second draft, a little longer" "final text")
dates=("2024-01-02 03:04:05.123456789" "2024-02-03 04:05:06.5" "2024-03-04 05:06:07")
for index in 0 1 2; do
  [ "$index" -eq 0 ] || "$cli" save-version "$doc" >/dev/null
  printf '%s\n' "${contents[$index]}" >"$doc"
  touch -d "${dates[$index]} UTC" "$doc"
done

"$app" "$doc" >"$work/app.log" 2>&1 &
app_pid=$!
pids+=("$app_pid")
wait_for "the versions window" 30 has_window "$app_pid"
browser=$(window_of "$app_pid")
[ "$(xdotool getwindowname "$browser")" = "Versions of Quarterly Report.txt" ] ||
  fail "unexpected window title '$(xdotool getwindowname "$browser")'"
sleep 0.5
timeout 10 xdotool windowfocus --sync "$browser" || fail "could not focus the versions window"
sleep 0.3

# The document itself is selected; Up selects the version saved before it.
xdotool key Up
sleep 0.3
xdotool key ctrl+r
copy="$work/docs/Quarterly Report (version of $(date -d "${dates[1]} UTC" '+%Y-%m-%d %H.%M')).txt"
wait_for "the restored copy" 20 test -f "$copy"
[ "$(cat "$copy")" = "${contents[1]}" ] || fail "the copy holds '$(cat "$copy")'"
[ "$(stat -c %.9Y "$copy")" = "$(date -d "${dates[1]} UTC" +%s.%N)" ] || fail "the copy has the wrong date"
[ "$(cat "$doc")" = "${contents[2]}" ] || fail "the document was changed"
[ "$(find "$work/docs" -mindepth 1 | wc -l)" -eq 2 ] || fail "more than the copy was written"

# Closing the only window ends the program.
xdotool key ctrl+w
wait_for "Strataloom to quit" 30 eval "! kill -0 $app_pid 2>/dev/null"
wait "$app_pid" || fail "Strataloom ended with status $?"
echo "opened the versions of a document, restored one as a copy, closed"
