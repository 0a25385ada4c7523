#!/usr/bin/env bash
# Builds the Debian package in build-package/, fails on any lintian error or warning, installs
# it on this machine and runs the installed strataloom-cli once in a throwaway home.
set -euo pipefail
STRATALOOM_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$STRATALOOM_ROOT/scripts/common.sh"

STRATALOOM_PACKAGES+=(dpkg-dev file lintian)
install_missing_packages

# Debian's hardening flags, as a Debian build of the package would use.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
dir=build-package
configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Release -DSTRATALOOM_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"

cd "$STRATALOOM_ROOT/$dir"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' CMakeCache.txt)
deb=strataloom_${version}_amd64.deb
rm -f strataloom_*.deb
cpack -G DEB
[ -f "$deb" ] || { echo "package-check: cpack did not write $deb" >&2; exit 1; }

lintian --fail-on error,warning "$deb"
# The window's Wayland platform plugin is loaded at run time, out of sight of shlibdeps.
dpkg-deb -f "$deb" Depends | grep -qw qt6-wayland || {
  echo "package-check: $deb does not depend on qt6-wayland" >&2
  exit 1
}

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --reinstall "./$deb"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config
cli=/usr/bin/strataloom-cli

# The window answers --version without a display.
reported=$(env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/strataloom --version)
[ "$reported" = "Strataloom $version" ] || {
  echo "package-check: strataloom --version printed '$reported', expected 'Strataloom $version'" >&2
  exit 1
}

reported=$("$cli" --version)
[ "$reported" = "strataloom-cli $version" ] || {
  echo "package-check: --version printed '$reported', expected 'strataloom-cli $version'" >&2
  exit 1
}

# One saved version and the current one, which has changed since.
document=$scratch/Report.txt
echo "first draft" >"$document"
"$cli" save-version "$document"
echo "second draft" >"$document"
listing=$("$cli" versions "$document")
echo "$listing"
saved=$(awk -F '\t' '$1 == "00000" && $5 == "local" { print $6 }' <<<"$listing")
current=$(awk -F '\t' '$1 == "00001" { print $6 }' <<<"$listing")
if [ -z "$saved" ] || [ "$(cat "$saved")" != "first draft" ] || [ "$current" != "$document" ]; then
  echo "package-check: versions does not list the saved version of $document" >&2
  exit 1
fi
echo "package-check: $deb installs and works"
