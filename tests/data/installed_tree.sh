#!/usr/bin/env bash
# Installs the build into scratch folders, as a package build does (DESTDIR,
# prefix /usr) and as a user does (prefix ~/.local), and checks what lands:
# the modes the Debian package gives (programs 755, every other file 644,
# whatever the umask; folders, made by mkdir, follow the umask as anywhere
# else), the watcher's unit naming the installed CLI,
# KDE's service menus executable only in the user's own data folder, and the
# AppStream metadata valid with the desktop entry and icons beside it.
#   installed_tree.sh BUILD_DIR
# Exits 77 (skipped) when appstreamcli is not installed and all else passed.
set -u
build=$1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
fail() { echo "installed_tree: $*" >&2; status=1; }

umask 077
DESTDIR=$scratch/package cmake --install "$build" --prefix /usr >/dev/null || exit 1
root=$scratch/package
unit=$root/usr/lib/systemd/user/strataloom-watch.service

wrong_modes=$(find "$root" -mindepth 1 \( \( -type f -path "$root/usr/bin/*" ! -perm 755 \) \
  -o \( -type f ! -path "$root/usr/bin/*" ! -perm 644 \) -o \( ! -type d ! -type f \) \) -printf '%m %P\n')
[ -z "$wrong_modes" ] || fail "modes differ from the package's:"$'\n'"$wrong_modes"
for program in strataloom strataloom-cli; do
  [ -f "$root/usr/bin/$program" ] || fail "usr/bin/$program is not installed"
done
grep -qx 'ExecStart=/usr/bin/strataloom-cli watch run' "$unit" || fail "$unit does not run the installed CLI"
menus=("$root"/usr/share/kio/servicemenus/*.desktop)
[ ${#menus[@]} -eq 2 ] && [ -e "${menus[0]}" ] || fail "expected two service menus, found: ${menus[*]}"

# `validate-tree` checks the metadata with the desktop entry and icons it refers to.
validated=false
if command -v appstreamcli >/dev/null; then
  validation=$(appstreamcli validate-tree --pedantic --no-net --no-color "$root" 2>&1)
  [ "$validation" = "✔ Validation was successful." ] || fail "appstreamcli validate-tree: $validation"
  validated=true
fi

# A user's own installation: ~/.local is where KDE wants the executable bit.
export HOME=$scratch/home
unset XDG_DATA_HOME DESTDIR
cmake --install "$build" --prefix "$HOME/.local" >/dev/null || exit 1
for menu in "$HOME"/.local/share/kio/servicemenus/*.desktop; do
  [ "$(stat -c %a "$menu")" = 755 ] || fail "$menu is not executable in the user's data folder"
done
grep -qx "ExecStart=$HOME/.local/bin/strataloom-cli watch run" "$HOME/.local/lib/systemd/user/strataloom-watch.service" ||
  fail "the unit installed under ~/.local does not run the CLI installed there"
if [ $status -eq 0 ] && ! $validated; then
  echo "appstreamcli is not installed: the AppStream metadata was not validated"
  exit 77
fi
exit $status
