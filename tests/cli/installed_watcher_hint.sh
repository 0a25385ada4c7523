#!/usr/bin/env bash
# Installed under a prefix, strataloom-cli tells how to start the watcher with
# the command that works there: by the unit's path when systemd does not search
# the folder it went into (as under ~/.local), by its name when it does.
#   installed_watcher_hint.sh BUILD_DIR
set -u
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch/home XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config XDG_STATE_HOME=$scratch/state
export XDG_CONFIG_DIRS=$scratch/xdg
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$scratch/xdg/systemd" "$scratch/watched"

status=0
fail() { echo "installed_watcher_hint: $*" >&2; status=1; }

install_into() {
  for part in src/cli data; do
    cmake -DCMAKE_INSTALL_PREFIX="$1" -P "$build/$part/cmake_install.cmake" >/dev/null || fail "cannot install $part"
  done
}

# A prefix systemd does not search, with a space in it.
outside="$scratch/my prefix"
install_into "$outside"
unit="$outside/lib/systemd/user/strataloom-watch.service"
[ -f "$unit" ] || fail "no unit installed at $unit"
expected="systemctl --user enable --now '$unit'"
added=$("$outside/bin/strataloom-cli" watch add "$scratch/watched") || fail "watch add failed"
grep -qxF "  $expected" <<<"$added" || fail "watch add says: $added"
shown=$("$outside/bin/strataloom-cli" watch status)
grep -qxF "  $expected" <<<"$shown" || fail "watch status says: $shown"

# A prefix whose unit folder systemd searches (here through XDG_CONFIG_DIRS).
inside=$scratch/searched
install_into "$inside"
ln -s "$inside/lib/systemd/user" "$scratch/xdg/systemd/user"
shown=$("$inside/bin/strataloom-cli" watch status)
grep -qxF "  systemctl --user enable --now strataloom-watch.service" <<<"$shown" || fail "watch status says: $shown"
exit $status
