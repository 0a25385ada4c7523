#!/usr/bin/env bash
# What a person does: under a virtual X display, open the versions of a
# document from the command line, pick the version before the current one with
# the keyboard, restore it as a copy beside the document, then in place and back
# again, and close the window, which ends the program.
#
#   version_browser.sh STRATALOOM STRATALOOM_CLI
#
# With STRATALOOM_E2E_SCREENSHOTS=DIR (and ImageMagick's import) it also saves
# DIR/screenshot-versions.png.
set -euo pipefail
app=$1 cli=$2
. "$(dirname "${BASH_SOURCE[0]}")/session.sh"
window_of() { xdotool search --onlyvisible --pid "$1" 2>/dev/null | head -n 1; }
has_window() { [ -n "$(window_of "$1")" ]; }

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
shot "$browser" versions
xdotool key ctrl+r
copy="$work/docs/Quarterly Report (version of $(date -d "${dates[1]} UTC" '+%Y-%m-%d %H.%M')).txt"
wait_for "the restored copy" 20 test -f "$copy"
[ "$(cat "$copy")" = "${contents[1]}" ] || fail "the copy holds '$(cat "$copy")'"
[ "$(stat -c %.9Y "$copy")" = "$(date -d "${dates[1]} UTC" +%s.%N)" ] || fail "the copy has the wrong date"
[ "$(cat "$doc")" = "${contents[2]}" ] || fail "the document was changed"
[ "$(find "$work/docs" -mindepth 1 | wc -l)" -eq 2 ] || fail "more than the copy was written"

# The same version restored in place, confirmed with Return; then the contents it
# replaced, kept as the version after it, restored in their turn undo it.
xdotool key ctrl+shift+r
sleep 0.5
xdotool key Return
wait_for "the restore in place" 20 eval '[ "$(cat "$doc")" = "${contents[1]}" ]'
sleep 0.5
xdotool key Down
sleep 0.3
xdotool key ctrl+shift+r
sleep 0.5
xdotool key Return
# The restored contents are recorded as a version just after they are in place:
# first, second, final, second (restored), final (restored back), then the file.
wait_for "the restore undone" 20 eval '[ "$(cat "$doc")" = "${contents[2]}" ] && [ "$("$cli" versions "$doc" | wc -l)" -eq 6 ]'
# Read back as the archive writes them: small contents are packed, with no file.
"$cli" archive "$doc" "$work/read back" || fail "the versions cannot be archived"
for pair in 0:0 1:1 2:2 3:1 4:2; do
  entry="$work/read back/$(ls "$work/read back" | sed -n "$((${pair%:*} + 1))p")"
  [ "$(cat "$entry")" = "${contents[${pair#*:}]}" ] || fail "version ${pair%:*} holds '$(cat "$entry")'"
done
[ "$(find "$work/docs" -mindepth 1 | wc -l)" -eq 2 ] || fail "the restore left files behind"

# Closing the only window ends the program.
xdotool key ctrl+w
wait_for "Strataloom to quit" 30 eval "! kill -0 $app_pid 2>/dev/null"
wait "$app_pid" || fail "Strataloom ended with status $?"
echo "opened the versions of a document, restored one as a copy and in place, undid that, closed"
