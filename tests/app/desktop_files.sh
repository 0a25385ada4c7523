#!/usr/bin/env bash
# The desktop files as installed: each passes desktop-file-validate. (Their
# modes are checked with the rest of the installed tree in tests/data.)
#   desktop_files.sh SOURCE_DATA_DIR BUILD_DATA_DIR
# Exits 77 (skipped) when desktop-file-validate is not installed.
set -u
source_data=$1
build_data=$2
command -v desktop-file-validate >/dev/null || { echo "desktop-file-validate is not installed"; exit 77; }

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake -DCMAKE_INSTALL_PREFIX="$prefix" -P "$build_data/cmake_install.cmake" >/dev/null || exit 1
share=$(find "$prefix" -type d -name applications -printf '%h\n' | head -n 1)

status=0
fail() { echo "desktop_files: $*" >&2; status=1; }

desktop-file-validate "$share/applications/org.strataloom.Strataloom.desktop" || status=1
grep -qx 'Exec=strataloom -- %F' "$share/applications/org.strataloom.Strataloom.desktop" ||
  fail "the desktop entry does not open the files it is given"

# A service menu is of KDE's own type Service, to which the validator grants
# neither MimeType nor Actions, the two keys a service menu is made of, nor
# KDE's all/allfiles; those complaints alone are allowed there.
menus=("$share"/kio/servicemenus/*.desktop)
if [ ${#menus[@]} -ne 2 ] || [ ! -e "${menus[0]}" ]; then
  fail "expected two service menus, found: ${menus[*]}"
fi
for menu in "${menus[@]}"; do
  [ "$(sed -n 's/^Type=//p' "$menu")" = Service ] || fail "$menu is not of type Service"
  cmp -s "$menu" "$source_data/kio/servicemenus/$(basename "$menu")" || fail "$menu differs from its source"
  complaints=$(desktop-file-validate "$menu" |
    grep -v -e 'key "MimeType" is present in group "Desktop Entry", but the type is "Service"' \
      -e 'key "Actions" is present in group "Desktop Entry", but the type is "Service"' \
      -e 'contains value "all/allfiles" which is an invalid MIME type')
  [ -z "$complaints" ] || fail "$complaints"
done
exit $status
