#!/usr/bin/env bash
# What a person does: under a virtual X display, drag a document with saved
# versions from another program onto the Strataloom window and confirm the
# proposed folder; drag that folder back and confirm the proposed file; drag
# both again at once and answer each dialog with Return alone, in drop order;
# drag a web address and see that nothing happens; quit from the keyboard.
#
#   drag_and_drop.sh STRATALOOM STRATALOOM_CLI DRAG_SOURCE
#
# With STRATALOOM_E2E_SCREENSHOTS=DIR (and ImageMagick's import) it also saves
# DIR/screenshot-idle.png and DIR/screenshot-drag.png.
set -euo pipefail
app=$1 cli=$2 drag_source=$3
. "$(dirname "${BASH_SOURCE[0]}")/session.sh"
# The first visible window of process $1 other than window $2.
other_window_of() { xdotool search --onlyvisible --pid "$1" 2>/dev/null | grep -vx "${2:-none}" | head -n 1; }
has_other_window() { [ -n "$(other_window_of "$@")" ]; }
centre_of() {
  local X Y WIDTH HEIGHT WINDOW SCREEN
  eval "$(xdotool getwindowgeometry --shell "$1")"
  echo "$((X + WIDTH / 2)) $((Y + HEIGHT / 2))"
}
# The window logs the end of each archive and unarchive, after its last write.
export QT_LOGGING_RULES="strataloom.operations.info=true"
operations=0
# operation_ends WHAT: waits for the end of the next operation and checks how it
# ended ("archive ended: written"), rather than for a file that appears before
# the operation has finished with it.
operation_ends() {
  operations=$((operations + 1))
  wait_for "the end of operation $operations" 60 eval '[ "$(grep -c "strataloom.operations: " "$work/app.log")" -ge "$operations" ]'
  local ended
  ended=$(grep "strataloom.operations: " "$work/app.log" | sed -n "${operations}s/^strataloom.operations: //p")
  [ "$ended" = "$1" ] || fail "operation $operations: expected '$1', got '$ended'"
}

# A document with two saved versions.
doc="$work/docs/Quarterly Report.txt"
expected=("first draft" "second draft, a little longer" "final text")
dates=("2024-01-02 03:04:05.123456789" "2024-02-03 04:05:06.5" "2024-03-04 05:06:07")
for index in 0 1 2; do
  [ "$index" -eq 0 ] || "$cli" save-version "$doc" >/dev/null
  printf '%s\n' "${expected[$index]}" >"$doc"
  touch -d "${dates[$index]} UTC" "$doc"
done
"$cli" versions "$doc" | cut -f1,3-6 >"$work/versions-before"
[ "$(wc -l <"$work/versions-before")" -eq 3 ] || fail "the document should have two versions and its current one"

"$app" >"$work/app.log" 2>&1 &
app_pid=$!
pids+=("$app_pid")
wait_for "the Strataloom window" 30 has_other_window "$app_pid"
main=$(other_window_of "$app_pid")
[ "$(xdotool getwindowname "$main")" = "Strataloom – Version Archiver" ] || fail "unexpected window title"
sleep 0.5
shot "$main" idle

# drag ITEM...: presses on a new drag source offering ITEMs, moves onto the
# Strataloom window in steps and releases there. Prints the drop action the
# window answered (1 copy, 0 refused).
drag() {
  "$drag_source" "$@" >"$work/source.log" 2>&1 &
  local source_pid=$! step from to
  pids+=("$source_pid")
  wait_for "the drag source window" 30 has_other_window "$source_pid"
  from=($(centre_of "$(other_window_of "$source_pid")"))
  to=($(centre_of "$main"))
  xdotool mousemove "${from[0]}" "${from[1]}" sleep 0.3 mousedown 1
  for step in {1..16}; do
    xdotool mousemove $((from[0] + (to[0] - from[0]) * step / 16)) $((from[1] + (to[1] - from[1]) * step / 16)) \
      sleep 0.05
  done
  sleep 0.5
  [ -z "${drag_shot:-}" ] || shot "$main" drag
  xdotool mouseup 1
  wait_for "the end of the drag" 20 grep -q '^drop action:' "$work/source.log"
  sed -n 's/^drop action: //p' "$work/source.log"
  # The source leaves by itself once the window has fetched the dropped data.
  wait_for "the drag source to leave" 20 eval "! kill -0 $source_pid 2>/dev/null"
}
# drop ITEM: drags ITEM onto the window and confirms the save dialog it opens with Return.
drop() {
  local answer dialog
  answer=$(drag "$1")
  [ "$answer" = 1 ] || fail "the window did not take $1 (drop action $answer)"
  wait_for "the save dialog" 30 has_other_window "$app_pid" "$main"
  dialog=$(other_window_of "$app_pid" "$main")
  sleep 0.5
  timeout 10 xdotool windowfocus --sync "$dialog" || fail "could not focus the save dialog"
  sleep 0.3
  xdotool key Return
  wait_for "the save dialog to close" 30 eval "! has_other_window $app_pid $main"
}

# Archive: the document onto the window gives a folder of its three versions.
archive="$work/docs/Quarterly Report versions"
drag_shot=1 drop "$doc"
operation_ends "archive ended: written"
for index in 0 1 2; do
  entry="$archive/Quarterly Report0000$index.txt"
  [ "$(cat "$entry")" = "${expected[$index]}" ] || fail "$entry holds '$(cat "$entry")'"
  [ "$(stat -c %.9Y "$entry")" = "$(date -d "${dates[$index]} UTC" +%s.%N)" ] || fail "$entry has the wrong date"
done
[ "$(ls -A "$archive" | wc -l)" -eq 3 ] || fail "the archive folder holds more than the three versions"

# Unarchive: the folder, as file managers send it (no "/"), gives a file with the same versions.
copy="$work/docs/Quarterly Report-Copy.txt"
drop "$archive"
operation_ends "unarchive ended: written"
[ "$(cat "$copy")" = "final text" ] || fail "the new file holds '$(cat "$copy")'"
"$cli" versions "$copy" >"$work/versions-after"
cut -f1,3-6 "$work/versions-after" | diff -u "$work/versions-before" - || fail "the new file's versions differ"
# Read back as the archive writes them: small contents are packed, with no file.
"$cli" archive "$copy" "$work/read back" || fail "the new file's versions cannot be archived"
for index in 0 1 2; do
  entry="$work/read back/$(ls "$work/read back" | sed -n "$((index + 1))p")"
  [ "$(cat "$entry")" = "${expected[$index]}" ] || fail "version $index of the new file holds '$(cat "$entry")'"
done

# is_shown WINDOW: the window is one of Strataloom's visible windows.
is_shown() { xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | grep -qx "$1"; }
# answer WHAT: waits for Strataloom's next window besides the main one, presses
# Return (or $key) without focusing it first (it must have taken the keyboard by
# itself), and waits for that window to close.
answer() {
  local window
  wait_for "$1" 30 has_other_window "$app_pid" "$main"
  window=$(other_window_of "$app_pid" "$main")
  sleep 0.5
  xdotool key "${key:-Return}"
  wait_for "$1 to close" 30 eval "! is_shown $window"
}

# Both again, dropped together: one dialog at a time, in drop order. The
# document's proposed folder exists now; Return chooses it rather than entering
# it, a question says what the folder holds, and Esc leaves it as it was.
rm "$copy"
answer=$(drag "$doc" "$archive")
[ "$answer" = 1 ] || fail "the window did not take the two items (drop action $answer)"
answer "the document's save dialog"
key=Escape answer "the question about the folder that holds files"
[ ! -e "$archive/Quarterly Report versions" ] || fail "Return entered the existing folder and archived inside it"
[ "$(ls -A "$archive" | wc -l)" -eq 3 ] || fail "the existing archive folder was changed"
[ ! -e "$copy" ] || fail "the folder was unarchived before the document's dialog was answered"
answer "the folder's save dialog"
operation_ends "unarchive ended: written"
[ "$(cat "$copy")" = "final text" ] || fail "the new file holds '$(cat "$copy")'"

# A web address: refused, and nothing happens.
before=$(ls -AR "$work/docs")
answer=$(drag "https://example.org/x")
[ "$answer" = 0 ] || fail "the window took a web address (drop action $answer)"
sleep 1.5
[ -z "$(other_window_of "$app_pid" "$main")" ] || fail "a web address opened a window"
[ "$(ls -AR "$work/docs")" = "$before" ] || fail "a web address changed files"
[ "$(grep -c "strataloom.operations: " "$work/app.log")" -eq "$operations" ] || fail "a web address started an operation"

# Quitting from the keyboard ends the application cleanly.
timeout 10 xdotool windowfocus --sync "$main" || fail "could not focus the main window"
xdotool key ctrl+q
wait_for "Strataloom to quit" 30 eval "! kill -0 $app_pid 2>/dev/null"
wait "$app_pid" || fail "Strataloom ended with status $?"
echo "archived, unarchived, asked about two items in turn, refused a web address, quit"
