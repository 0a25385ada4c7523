#!/usr/bin/env bash
# The command lines of the desktop entry and of KDE's service menus, run through
# a shell as a file manager runs them, with hostile names put in for %f and %F:
# each item reaches the program as one file, Qt is given none of them, and Save
# a Version Now versions exactly the item chosen.
#   desktop_exec_lines.sh SOURCE_DATA_DIR WINDOW_PROGRAM CLI
set -u
data=$1
app=$2
cli=$3

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch/home XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config XDG_STATE_HOME=$scratch/state
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$scratch/bin" "$scratch/docs"
ln -s "$app" "$scratch/bin/strataloom"
ln -s "$cli" "$scratch/bin/strataloom-cli"
export PATH=$scratch/bin:/usr/bin:/bin QT_QPA_PLATFORM=offscreen STRATALOOM_TEST_PRINT_LAUNCH=1
unset DISPLAY WAYLAND_DISPLAY

status=0
fail() { echo "desktop_exec_lines: $*" >&2; status=1; }

names=($'notes.txt\n-platformpluginpath\n.\n-platform\nevil' '-platform vnc:port=5977' '--help' $'caf\xe9.txt'
  "it's \$(touch pwned).txt")
files=() folders=()
for name in "${names[@]}"; do
  printf '%s' "$name" >"$scratch/docs/$name"
  mkdir "$scratch/docs/$name versions"
  files+=("$scratch/docs/$name")
  folders+=("$scratch/docs/$name versions")
done
# The pieces a split name would have become.
touch "$scratch/docs/notes.txt" "$scratch/docs/evil"

# The Exec line of the group $2 in the desktop file $1.
exec_line() { sed -n "/^\[$2\]/,/^\[/s/^Exec=//p" "$1"; }
quoted() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
# Runs the Exec line $1 with the items after it in place of its field code, as
# the file manager does; what the window program would open goes to $scratch/out.
run() {
  local line=$1 list="" item
  shift
  for item in "$@"; do list+=" $(quoted "$item")"; done
  line=${line//%F/$list}
  line=${line//%f/$list}
  (cd "$scratch/docs" && sh -c "$line" >"$scratch/out" 2>"$scratch/err") || fail "$line: $(cat "$scratch/err")"
}
# What the window program prints for the fields $1 of each later item.
expected() {
  local kind=$1 item
  shift
  printf 'platform=offscreen\0'
  for item in "$@"; do printf '%s=%s\0' "$kind" "$item"; done
}
check() { cmp -s "$scratch/out" <(expected "$@") || fail "expected $1 ${*:2}, got: $(tr '\0' '|' <"$scratch/out")"; }

entry=$data/org.strataloom.Strataloom.desktop
menu=$data/kio/servicemenus/org.strataloom.Strataloom.desktop
folder_menu=$data/kio/servicemenus/org.strataloom.Strataloom.Folder.desktop

run "$(exec_line "$entry" 'Desktop Entry')" "${files[@]}"
check document "${files[@]}"
run "$(exec_line "$menu" 'Desktop Action showVersions')" "${files[@]}"
check document "${files[@]}"
# %f: one run for each item.
for file in "${files[@]}"; do
  run "$(exec_line "$menu" 'Desktop Action archiveVersions')" "$file"
  check drop "$file"
  run "$(exec_line "$menu" 'Desktop Action saveVersion')" "$file"
done
for folder in "${folders[@]}"; do
  run "$(exec_line "$folder_menu" 'Desktop Action unarchive')" "$folder"
  check drop "$folder"
done

saved() { "$cli" versions --json -- "$1" 2>/dev/null | grep -c '"automatic":false'; }
for file in "${files[@]}"; do
  [ "$(saved "$file")" = 1 ] || fail "Save a Version Now did not version $file once"
done
for sibling in notes.txt evil; do
  [ "$(saved "$scratch/docs/$sibling")" = 0 ] || fail "Save a Version Now versioned the unselected $sibling"
done
[ ! -e "$scratch/docs/pwned" ] || fail "a name ran a command"
exit $status
