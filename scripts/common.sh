# Shared by ./run and ./test: install the Debian packages that are missing, then
# configure and build. Sourced, not run.

STRATALOOM_PACKAGES=(
  cmake g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl-dev qt6-wayland
  libplist-dev libsqlite3-dev libssl-dev libxxhash-dev libgtest-dev
  fonts-dejavu-core xvfb xauth xdotool openssl desktop-file-utils appstream
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

# configure_and_build BUILD_DIR [extra cmake arguments...]
configure_and_build() {
  local dir=$1
  shift
  cmake -S "$STRATALOOM_ROOT" -B "$STRATALOOM_ROOT/$dir" "$@" >/dev/null
  cmake --build "$STRATALOOM_ROOT/$dir" -j"$(nproc)"
}
