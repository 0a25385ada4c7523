#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what clang-format makes of it with
# the repository's .clang-format.
set -euo pipefail
STRATALOOM_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$STRATALOOM_ROOT/scripts/common.sh"

install_missing_packages clang-format
cd "$STRATALOOM_ROOT"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror
echo "Formatting: every tracked C++ file matches clang-format."
