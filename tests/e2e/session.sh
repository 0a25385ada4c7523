# Sourced by the end-to-end tests: skips without a virtual display, a scratch
# folder removed at exit with every process started, `fail`, `wait_for` and
# `shot`, a home that is not the real one, no update check, and a display of
# our own.
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
# shot WINDOW NAME: with STRATALOOM_E2E_SCREENSHOTS=DIR (and ImageMagick's
# import), saves the window as DIR/screenshot-NAME.png for the README.
shot() {
  local shots=${STRATALOOM_E2E_SCREENSHOTS:-}
  [ -z "$shots" ] || ! command -v import >/dev/null || import -window "$1" "$shots/screenshot-$2.png"
}

mkdir -p "$work/home" "$work/data" "$work/config/Strataloom" "$work/runtime" "$work/docs"
chmod 700 "$work/runtime"
export HOME=$work/home XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY SESSION_MANAGER
printf '[General]\nnoUpdateCheck=true\n' >"$work/config/Strataloom/Strataloom.conf"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for "the virtual display" 20 test -s "$work/display"
export DISPLAY=":$(head -n 1 "$work/display")"
