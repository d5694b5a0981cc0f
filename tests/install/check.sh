#!/usr/bin/env bash
# Installs the built tree into a temporary prefix, then builds and runs a consumer
# against it with find_package, and once more with the sources as a subdirectory.
# Usage: check.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KY_REGISTRY=$work/registry.db

cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/KyBasicLib/kylib/KyBasicLib.h"
test -x "$work/prefix/bin/kybasic"
cmake -S "$src/tests/install/consumer" -B "$work/installed" -G Ninja \
      -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/installed" >/dev/null
"$work/installed/consumer"
"$work/prefix/bin/kybasic" demo >/dev/null

cmake -S "$src/tests/install/consumer" -B "$work/subdir" -G Ninja \
      -DKY_SOURCE_DIR="$src" -DKY_BUILD_TOOLS=OFF >/dev/null
cmake --build "$work/subdir" --target consumer >/dev/null
"$work/subdir/consumer"
