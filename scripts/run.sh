#!/usr/bin/env bash
# The project's run command: installs what is missing, builds, and starts the demo: Quorbel on a
# simulated device, with the esptool stand-in first on PATH for Quorbel alone. Without a display
# it runs the walk-through instead and says where its screenshots are, unless a Qt platform is
# chosen explicitly (QT_QPA_PLATFORM=offscreen starts the demo's Quorbel offscreen).
# Ctrl+C or closing the window stops everything the demo started.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/setup.sh
scripts/build.sh build

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  shots="$root/demo/screenshots"
  echo "No display here: running the walk-through instead (the real window, offscreen)."
  rm -rf "$shots" && mkdir -p "$shots"
  PATH="$root/build/standin:$PATH" QT_QPA_PLATFORM=offscreen \
    build/bin/quorbel-walkthrough "$shots"
  echo "Screenshots of every step: $shots"
  echo "The day's upgrade record: $shots/CONFIG/history.csv and $shots/CONFIG/logs/"
  exit 0
fi

demo="$root/demo"
version=12
mkdir -p "$demo/firmware"
# Two images: one newer than the device, one of the device's own version.
for v in $((version + 1)) "$version"; do
  f="$demo/firmware/fw_V${v}_release.bin"
  [ -f "$f" ] || head -c 786432 /dev/urandom >"$f"
done

state="$demo/device.state"
rm -f "$state"
coproc SIMDEVICE { exec build/bin/simdevice --state "$state" --version "$version" --soc 76 \
  --sn QB-DEMO-0000042 --ignore-stdin; }
sim_pid=$SIMDEVICE_PID
trap 'kill "$sim_pid" 2>/dev/null || true' EXIT INT TERM
read -r -t 10 port <&"${SIMDEVICE[0]}" || { echo "the simulated device did not start"; exit 1; }

cat <<EOT
Demo: a simulated device on $port (serial number QB-DEMO-0000042, firmware version $version).
  1. Press "获取信息": serial number, version and charge appear.
  2. Press "选择文件" and pick $demo/firmware/fw_V$((version + 1))_release.bin, then "升级".
  3. Press "获取信息" again: the version is now $((version + 1)).
  4. Pick fw_V$((version + 1))_release.bin again and press "升级": "相同版本不可升级！".
The remembered folder lives in $demo/CONFIG/config.ini. Close the window to stop the demo.
EOT

cd "$demo"
PATH="$root/build/standin:$PATH" \
  QUORBEL_SIMULATED_PORT="$port" SIMDEVICE_STATE="$state" ESPTOOL_STANDIN_PAUSE_MS=40 \
  "$root/build/bin/Quorbel" "$@" &
app_pid=$!
# Whichever way the demo is stopped, both of its processes go with it.
trap 'kill "$app_pid" "$sim_pid" 2>/dev/null || true' EXIT INT TERM
wait "$app_pid"
