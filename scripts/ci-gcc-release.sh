#!/usr/bin/env bash
# Builds the libraries and the two programs as a GCC Release (-O3), warnings as
# errors: GCC's optimiser warns (-Wrestrict, -Wstringop-overflow, …) where the
# suite's RelWithDebInfo build does not. Build only; the suite runs in ./test.
#   scripts/ci-gcc-release.sh [BUILD_DIR]   (default build-gcc-release/)
set -euo pipefail
STRATALOOM_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$STRATALOOM_ROOT/scripts/common.sh"

dir=${1:-build-gcc-release}
install_missing_packages
started=$SECONDS
configure_and_build "$dir" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release -DSTRATALOOM_WERROR=ON \
  -DSTRATALOOM_BUILD_TESTS=OFF
echo "GCC Release: the libraries and programs build without a warning ($((SECONDS - started)) s)."
