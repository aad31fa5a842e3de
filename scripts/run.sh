#!/usr/bin/env bash
# Builds what is missing and starts Quorbel.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/setup.sh
scripts/build.sh build
exec build/bin/Quorbel "$@"
