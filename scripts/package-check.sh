#!/usr/bin/env bash
# Builds the Debian package with dpkg-buildpackage from a clean copy of the tree
# in build-package/, fails on any lintian error or warning, installs it on this
# machine and tries the installed programs in a throwaway home. The package
# build leaves the test suite out, so this takes a few minutes.
set -euo pipefail
STRATALOOM_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$STRATALOOM_ROOT/scripts/common.sh"

install_missing_packages dpkg-dev lintian git
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
# The Build-Depends of debian/control, and nothing else.
if ! (cd "$STRATALOOM_ROOT" && dpkg-checkbuilddeps 2>/dev/null); then
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get build-dep -y -qq --no-install-recommends "$STRATALOOM_ROOT"
fi

fail() {
  echo "package-check: $*" >&2
  exit 1
}

# The tracked files and new ones not ignored, as a fresh clone would have them
# with this checkout's changes: no build folder of the developer's leaks in.
dir=$STRATALOOM_ROOT/build-package
rm -rf "$dir"
mkdir -p "$dir/strataloom"
(cd "$STRATALOOM_ROOT" && git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$dir/strataloom"

version=$(dpkg-parsechangelog -l "$dir/strataloom/debian/changelog" -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
deb=$dir/strataloom_${version}_${arch}.deb
started=$SECONDS
echo "package-check: dpkg-buildpackage (log in $dir/build.log)"
if ! (cd "$dir/strataloom" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
  dpkg-buildpackage -us -uc -b >"$dir/build.log" 2>&1); then
  tail -n 60 "$dir/build.log" >&2
  fail "dpkg-buildpackage failed"
fi
echo "package-check: built $(basename "$deb") in $((SECONDS - started)) s"
[ -f "$deb" ] || fail "dpkg-buildpackage did not write $deb"

lintian --fail-on error,warning "$dir/strataloom_${version}_${arch}.changes"
# The window's Wayland platform plugin is loaded at run time, out of sight of shlibdeps.
dpkg-deb -f "$deb" Depends | grep -qw qt6-wayland || fail "$deb does not depend on qt6-wayland"

DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --reinstall "$deb"

# A distribution's build: the update check, and with it the network, is left out.
if readelf -d /usr/bin/strataloom | grep -q 'NEEDED.*libQt6Network'; then
  fail "/usr/bin/strataloom links Qt's network library, though built without the update check"
fi
unit=/usr/lib/systemd/user/strataloom-watch.service
grep -qx 'ExecStart=/usr/bin/strataloom-cli watch run' "$unit" || fail "$unit does not run /usr/bin/strataloom-cli"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config XDG_STATE_HOME=$scratch/state
cli=/usr/bin/strataloom-cli

# The window answers --version without a display.
reported=$(env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/strataloom --version)
[ "$reported" = "Strataloom $version" ] || fail "strataloom --version printed '$reported', expected 'Strataloom $version'"
reported=$("$cli" --version)
[ "$reported" = "strataloom-cli $version" ] || fail "--version printed '$reported', expected 'strataloom-cli $version'"

# One saved version and the current one, which has changed since, read back
# through an archive: numbered files, the saved version first.
document=$scratch/Report.txt
echo "first draft" >"$document"
"$cli" save-version "$document"
echo "second draft" >"$document"
"$cli" versions "$document"
"$cli" archive "$document" "$scratch/archived"
mapfile -t archived < <(find "$scratch/archived" -mindepth 1 -maxdepth 1 -type f | sort)
if [ ${#archived[@]} -ne 2 ] || [ "$(cat "${archived[0]}")" != "first draft" ] ||
  [ "$(cat "${archived[1]}")" != "second draft" ]; then
  fail "archiving $document did not give its saved version, then its current one: ${archived[*]}"
fi
echo "package-check: $(basename "$deb") installs and works"
