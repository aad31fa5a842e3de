#!/usr/bin/env bash
# regenerate.sh <folder holding the esptool stand-in> [output folder]
# Records the stand-in's whole outputs, standard error merged into standard output as the
# products read them, into this folder (or the given one). The flash tests run it into a
# temporary folder and compare, so a change to the stand-in's texts shows up as a failing test
# until the recordings are renewed with this script.
set -euo pipefail
standin="$1/esptool"
out="${2:-$(cd "$(dirname "$0")" && pwd)}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Numbered lines: compressible like an image would be, and the same on every machine.
firmware="$work/fw_V13_release.bin"
seq 1 60000 >"$firmware"
burn=(--chip esp32s3 -b 460800 --before default-reset --after hard-reset write-flash
      --flash-mode dio --flash-size 8MB --flash-freq 80m 0x10000 "$firmware")

# record <file> [VAR=value...] -- <arguments...>; the exit code is not part of the recording.
record() {
  local file="$1" vars=()
  shift
  while [ "$1" != "--" ]; do vars+=("$1"); shift; done
  shift
  env -u TERM -u NO_COLOR -u SIMDEVICE_STATE -u ESPTOOL_STANDIN_CONTROL \
      -u ESPTOOL_STANDIN_SCENARIO -u ESPTOOL_STANDIN_DEAD_PORTS -u ESPTOOL_STANDIN_PORT \
      ESPTOOL_STANDIN_PAUSE_MS=0 "${vars[@]}" "$standin" "$@" >"$out/$file" 2>&1 || true
}

linux=ESPTOOL_STANDIN_PORT=/dev/ttyACM0
record probe_one_port.txt "$linux" -- chip-id
record probe_dead_port_first.txt "$linux" ESPTOOL_STANDIN_SCENARIO=dead-port-first -- chip-id
record probe_busy_port_first.txt "$linux" ESPTOOL_STANDIN_SCENARIO=busy-port-first -- chip-id
record probe_no_device.txt "$linux" ESPTOOL_STANDIN_DEAD_PORTS=/dev/ttyS0 \
  ESPTOOL_STANDIN_SCENARIO=no-device -- chip-id
record probe_com_dead_first.txt ESPTOOL_STANDIN_PORT=COM7 ESPTOOL_STANDIN_DEAD_PORTS=COM3,COM9 \
  -- chip-id
record probe_com_no_device.txt ESPTOOL_STANDIN_PORT=COM7 ESPTOOL_STANDIN_DEAD_PORTS=COM3 \
  ESPTOOL_STANDIN_SCENARIO=no-device -- chip-id
record burn_ok.txt "$linux" -- "${burn[@]}"
record burn_fail_midway.txt "$linux" ESPTOOL_STANDIN_SCENARIO=burn-fail -- "${burn[@]}"
record burn_hash_mismatch.txt "$linux" ESPTOOL_STANDIN_SCENARIO=hash-mismatch -- "${burn[@]}"
record burn_ok_terminal.txt "$linux" TERM=xterm -- "${burn[@]}"
record burn_watchdog_reset.txt "$linux" ESPTOOL_STANDIN_SCENARIO=watchdog-reset -- "${burn[@]}"
record burn_no_reset.txt "$linux" ESPTOOL_STANDIN_SCENARIO=no-reset -- "${burn[@]}"
