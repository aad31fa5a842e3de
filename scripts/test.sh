#!/usr/bin/env bash
# The project's test command. On a fresh Debian 12 machine (as root, or with sudo) it installs
# what is missing, then:
#   1. builds everything warning-free (-Werror) and runs every test;
#   2. builds everything again with AddressSanitizer and UBSan and runs every test again;
#      any sanitizer report, from a test or from a program a test started, fails the run;
#   3. builds the fuzz targets with clang and libFuzzer and runs each for 60 seconds.
# Between steps 1 and 2, when QUORBEL_QT_MINGW names a Qt for MinGW, the Windows round:
# cross-builds everything and the portable zip, and runs every test under Wine
# (scripts/test-windows.sh); without it, one line says the round is skipped. After it the
# Debian package's check: makes the package, installs it, starts both commands, removes it
# (scripts/test-deb.sh), ending with a one-line summary.
# QUORBEL_QUICK=1 stops after step 1, the Windows round and the package check.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/setup.sh

echo "== build and test"
scripts/build.sh build -DQUORBEL_WERROR=ON
ctest --test-dir build --output-on-failure -j2

scripts/test-windows.sh

echo "== Debian package: lintian, install, start, remove"
scripts/test-deb.sh

if [ "${QUORBEL_QUICK:-0}" = 1 ]; then
  exit 0
fi

echo "== build and test with AddressSanitizer and UBSan"
scripts/build.sh build-asan -DQUORBEL_SANITIZE=ON -DQUORBEL_WERROR=ON
reports="$root/build-asan/sanitizer-reports"
rm -rf "$reports" && mkdir -p "$reports"
# Reports go to files, so that a report from a child process (the stand-ins the tests start)
# counts as much as one from a test itself.
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
ctest --test-dir build-asan --output-on-failure -j2
unset ASAN_OPTIONS UBSAN_OPTIONS
if [ -n "$(ls -A "$reports")" ]; then
  echo "sanitizer reports:"
  for f in "$reports"/*; do echo "--- $f"; cat "$f"; done
  exit 1
fi
echo "no sanitizer reports"

echo "== fuzz"
CXX=clang++ BUILD_TARGET=fuzzers scripts/build.sh build-fuzz -DQUORBEL_FUZZ=ON -DQUORBEL_TESTS=OFF
scripts/fuzz.sh build-fuzz 60
