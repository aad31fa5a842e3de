#!/usr/bin/env bash
# build.sh <build-dir> [cmake options...]: configures (once) and builds the project.
# BUILD_TARGET=<target> builds that target only.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
fi
cmake --build "$dir" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
