#!/usr/bin/env bash
# Builds Release with clang, warnings as errors, and runs the unit tests there:
# clang warns about things GCC lets through.
#   scripts/ci-clang.sh [BUILD_DIR]   (default build-clang/)
set -euo pipefail
STRATALOOM_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$STRATALOOM_ROOT/scripts/common.sh"

dir=${1:-build-clang}
install_missing_packages "${STRATALOOM_PACKAGES[@]}" clang
configure_and_build "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release -DSTRATALOOM_WERROR=ON
cd "$STRATALOOM_ROOT/$dir"
ctest --output-on-failure -j"$(nproc)" -L unit --no-tests=error
