#!/usr/bin/env bash
# What a person does: under a virtual X display, drag a document with saved
# versions from another program onto the Strataloom window and confirm the
# proposed folder; drag that folder back and confirm the proposed file; drag a
# web address and see that nothing happens.
#
#   drag_and_drop.sh STRATALOOM STRATALOOM_CLI DRAG_SOURCE
#
# With STRATALOOM_E2E_SCREENSHOTS=DIR (and ImageMagick's import) it also saves
# DIR/screenshot-idle.png and DIR/screenshot-drag.png.
set -euo pipefail

app=$1
cli=$2
drag_source=$3
shots=${STRATALOOM_E2E_SCREENSHOTS:-}

for tool in Xvfb xdotool; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (./test installs it)"
    exit 77
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/strataloom-e2e-XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  if [ -s "$work/app.log" ]; then
    echo "strataloom said:" >&2
    sed 's/^/  /' "$work/app.log" >&2
  fi
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

# The visible windows of a process, one id a line.
windows_of() {
  xdotool search --onlyvisible --pid "$1" 2>/dev/null || true
}

# The first visible window of process $1 other than window $2.
other_window_of() {
  windows_of "$1" | grep -vx "${2:-none}" | head -n 1
}

has_other_window() {
  [ -n "$(other_window_of "$@")" ]
}

centre_of() {
  local X Y WIDTH HEIGHT WINDOW SCREEN
  eval "$(xdotool getwindowgeometry --shell "$1")"
  echo "$((X + WIDTH / 2)) $((Y + HEIGHT / 2))"
}

# --- A display of our own, and a home that is not the real one ---------------
mkdir -p "$work/home" "$work/data" "$work/config/Strataloom" "$work/runtime" "$work/docs"
chmod 700 "$work/runtime"
export HOME=$work/home XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY SESSION_MANAGER
# No network: the update check is switched off.
printf '[General]\nnoUpdateCheck=true\n' >"$work/config/Strataloom/Strataloom.conf"

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for "the virtual display" 20 test -s "$work/display"
export DISPLAY=":$(head -n 1 "$work/display")"

# --- A document with two saved versions ---------------------------------------
doc="$work/docs/Quarterly Report.txt"
printf 'first draft\n' >"$doc"
touch -d '2024-01-02 03:04:05.123456789 UTC' "$doc"
"$cli" save-version "$doc" >/dev/null
printf 'second draft, a little longer\n' >"$doc"
touch -d '2024-02-03 04:05:06.5 UTC' "$doc"
"$cli" save-version "$doc" >/dev/null
printf 'final text\n' >"$doc"
touch -d '2024-03-04 05:06:07 UTC' "$doc"
"$cli" versions "$doc" | cut -f1-5 >"$work/versions-before"
[ "$(wc -l <"$work/versions-before")" -eq 3 ] || fail "the document should have two versions and its current one"

# --- Strataloom itself ---------------------------------------------------------
"$app" >"$work/app.log" 2>&1 &
app_pid=$!
pids+=("$app_pid")
wait_for "the Strataloom window" 30 has_other_window "$app_pid"
main=$(other_window_of "$app_pid")
[ "$(xdotool getwindowname "$main")" = "Strataloom – Version Archiver" ] || fail "unexpected window title: $(xdotool getwindowname "$main")"
sleep 0.5
if [ -n "$shots" ] && command -v import >/dev/null; then
  import -window "$main" "$shots/screenshot-idle.png"
fi

# drag ITEM...: presses on a new drag source offering ITEMs, moves onto the
# middle of the Strataloom window in steps and releases there. Prints the drop
# action the window answered (1 copy, 0 refused).
drag() {
  "$drag_source" "$@" >"$work/source.log" 2>&1 &
  local source_pid=$!
  pids+=("$source_pid")
  wait_for "the drag source window" 30 has_other_window "$source_pid"
  local from to
  from=($(centre_of "$(other_window_of "$source_pid")"))
  to=($(centre_of "$main"))
  xdotool mousemove "${from[0]}" "${from[1]}"
  sleep 0.3
  xdotool mousedown 1
  local step steps=16
  for ((step = 1; step <= steps; step++)); do
    xdotool mousemove $((from[0] + (to[0] - from[0]) * step / steps)) $((from[1] + (to[1] - from[1]) * step / steps))
    sleep 0.05
  done
  sleep 0.5
  if [ -n "$shots" ] && [ -n "${take_drag_shot:-}" ] && command -v import >/dev/null; then
    import -window "$main" "$shots/screenshot-drag.png"
  fi
  xdotool mouseup 1
  wait_for "the end of the drag" 20 grep -q '^drop action:' "$work/source.log"
  sed -n 's/^drop action: //p' "$work/source.log"
  # The source leaves by itself once the window has fetched the dropped data.
  local deadline=$((SECONDS + 20))
  while kill -0 "$source_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
  kill "$source_pid" 2>/dev/null || true
}

# accept_dialog: confirms the save dialog that the drop opened with Return.
accept_dialog() {
  wait_for "the save dialog" 30 has_other_window "$app_pid" "$main"
  local dialog
  dialog=$(other_window_of "$app_pid" "$main")
  sleep 0.5
  timeout 10 xdotool windowfocus --sync "$dialog" || fail "could not focus the save dialog"
  sleep 0.3
  xdotool key Return
  wait_for "the save dialog to close" 30 test -z "$(other_window_of "$app_pid" "$main")"
}

# --- Archive: the document onto the window -------------------------------------
archive="$work/docs/Quarterly Report versions"
answer=$(take_drag_shot=1 drag "$doc")
[ "$answer" = 1 ] || fail "the window did not take the document (drop action $answer)"
accept_dialog
wait_for "the archive folder" 20 test -f "$archive/Quarterly Report00002.txt"
expected=("first draft" "second draft, a little longer" "final text")
times=(1704164645.123456789 1706933106.500000000 1709528767.000000000)
for index in 0 1 2; do
  entry="$archive/Quarterly Report0000$index.txt"
  [ "$(cat "$entry")" = "${expected[$index]}" ] || fail "$entry holds '$(cat "$entry")'"
  [ "$(stat -c %.9Y "$entry")" = "${times[$index]}" ] || fail "$entry has the wrong modification date"
done
[ "$(ls -A "$archive" | wc -l)" -eq 3 ] || fail "the archive folder holds more than the three versions"
echo "archived: $(ls "$archive" | tr '\n' ' ')"

# --- Unarchive: the folder onto the window, as file managers send it (no "/") --
copy="$work/docs/Quarterly Report-Copy.txt"
answer=$(drag "$archive")
[ "$answer" = 1 ] || fail "the window did not take the folder (drop action $answer)"
accept_dialog
wait_for "the unarchived file" 20 test -f "$copy"
[ "$(cat "$copy")" = "final text" ] || fail "the new file holds '$(cat "$copy")'"
"$cli" versions "$copy" >"$work/versions-after"
cut -f1-5 "$work/versions-after" | diff -u "$work/versions-before" - || fail "the new file's versions differ"
index=0
while IFS=$'\t' read -r _ _ _ _ _ stored; do
  [ "$(cat "$stored")" = "${expected[$index]}" ] || fail "version $index of the new file holds '$(cat "$stored")'"
  index=$((index + 1))
done <"$work/versions-after"
echo "unarchived: $(basename "$copy") with $((index - 1)) versions"

# --- A web address: refused, nothing happens -------------------------------------
before=$(ls -AR "$work/docs")
answer=$(drag "https://example.org/x")
[ "$answer" = 0 ] || fail "the window took a web address (drop action $answer)"
sleep 1.5
[ -z "$(other_window_of "$app_pid" "$main")" ] || fail "a web address opened a window"
[ "$(ls -AR "$work/docs")" = "$before" ] || fail "a web address changed files"
echo "web address refused"

# --- Quitting from the keyboard --------------------------------------------------
timeout 10 xdotool windowfocus --sync "$main" || fail "could not focus the main window"
xdotool key ctrl+q
deadline=$((SECONDS + 30))
while kill -0 "$app_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "Strataloom did not quit"
status=0
wait "$app_pid" || status=$?
[ "$status" -eq 0 ] || fail "Strataloom ended with status $status"
echo "quit from the keyboard"
