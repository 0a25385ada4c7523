# Shared by ./run and ./test: install the Debian packages that are missing, then
# configure and build. Sourced, not run.

STRATALOOM_PACKAGES=(
  cmake g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl-dev qt6-wayland
  libplist-dev libsqlite3-dev libssl-dev libxxhash-dev libzstd-dev zstd libgtest-dev
  fonts-dejavu-core xvfb xauth xdotool openssl desktop-file-utils appstream
  btrfs-progs xfsprogs
)

# install_missing_packages [package...]: the project's packages unless others are named
install_missing_packages() {
  local wanted=("$@")
  [ ${#wanted[@]} -eq 0 ] && wanted=("${STRATALOOM_PACKAGES[@]}")
  local missing=()
  local package
  for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The settings of build/, which ./run and ./test share: either builds on what the
# other built, and neither flips a setting that would rebuild everything.
STRATALOOM_BUILD_SETTINGS=(-DSTRATALOOM_WERROR=ON)

# configure_build BUILD_DIR [extra cmake arguments...]
configure_build() {
  local dir=$1
  shift
  cmake -S "$STRATALOOM_ROOT" -B "$STRATALOOM_ROOT/$dir" "$@" >/dev/null
}

# build_targets BUILD_DIR [target...]: every target unless some are named
build_targets() {
  local dir=$1
  shift
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  cmake --build "$STRATALOOM_ROOT/$dir" -j"$(nproc)" "${targets[@]}"
}

# configure_and_build BUILD_DIR [extra cmake arguments...]: every target
configure_and_build() {
  configure_build "$@"
  build_targets "$1"
}
