#!/usr/bin/env bash
# The project's test command: installs what is missing, builds warning-free, runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/setup.sh
scripts/build.sh build -DQUORBEL_WERROR=ON
ctest --test-dir build --output-on-failure -j2
