#!/usr/bin/env bash
# test-windows.sh: the test command's Windows round. With QUORBEL_QT_MINGW naming a Qt for MinGW
# (a folder laid out like the unpacked qt5-mingw-w64/) it cross-builds everything and the zip
# with scripts/package-windows.sh into build-win/, then runs every test of that build under Wine,
# in a Wine prefix of its own inside build-win/: headless (offscreen), or on an X server of its
# own (Xvfb) for the tests that need real windows. The simulated device of the first round's
# build answers on a pseudo-terminal that Wine maps to COM5. Ends with a summary: suites and
# cases passed, skipped and why. Without QUORBEL_QT_MINGW it says that it is skipped, and why.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

if [ -z "${QUORBEL_QT_MINGW:-}" ]; then
  echo "== Windows round skipped: QUORBEL_QT_MINGW is not set (it names the Qt for MinGW to" \
       "build against; .ci/run unpacks one from ../shared/toolchains)"
  exit 0
fi

started=$(date +%s)
echo "== Windows: cross-build with MinGW-w64 and the portable zip"
dir="$root/build-win"
mkdir -p "$dir"
scripts/package-windows.sh "$dir" | tee "$dir/package.log"
zip="$(tail -n 1 "$dir/package.log")"

export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
device="$dir/device"
xvfb_pid=""
sim_pid=""
cleanup() {
  # Ends every Windows process of the prefix, a test's leftovers among them.
  wineserver -k 2>/dev/null || true
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/com5"
}
trap cleanup EXIT

# An X server of the round's own, on the first free display.
rm -f "$dir/xvfb.display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/xvfb.display" 2>"$dir/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$dir/xvfb.display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$dir/xvfb.display")"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Windows: making the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
# One server and one set of Wine's own services for the whole round, started here with no
# output of anyone's: a service started by a test would inherit the test's output pipe and
# keep CTest waiting for it to close.
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1

simdevice="$root/build/bin/simdevice"
if [ -x "$simdevice" ]; then
  rm -rf "$device" && mkdir -p "$device"
  "$simdevice" --state "$device/state" --log "$device/frames.log" --ignore-stdin \
    >"$device/port" 2>"$device/stderr" &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$device/port" ] && break; sleep 0.1; done
  ln -sfn "$(head -n 1 "$device/port")" "$WINEPREFIX/dosdevices/com5"
  export QUORBEL_DEVICE_COM=COM5 QUORBEL_DEVICE_LOG="Z:$device/frames.log"
else
  echo "== Windows: no simulated device ($simdevice is not built): tst_comport will skip"
fi

echo "== Windows: every test of the Windows build, under Wine (display $DISPLAY)"
status=0
ctest --test-dir "$dir" --output-on-failure -j2 || status=$?
log="$dir/wine-tests.log"
cp "$dir/Testing/Temporary/LastTest.log" "$log"

# The summary, from CTest's log of this run: each suite's totals and each skip's reason.
left_out=""
if [ -d "$root/build" ]; then
  left_out="$(comm -23 <(ctest --test-dir "$root/build" -N | sed -n 's/^ *Test *#[0-9]*: //p' | sort) \
                       <(ctest --test-dir "$dir" -N | sed -n 's/^ *Test *#[0-9]*: //p' | sort) |
              tr '\n' ' ')"
fi
echo
echo "== Windows round summary (cross-built with MinGW-w64, run under $(wine --version 2>/dev/null))"
awk -v left_out="$left_out" '
  /^[0-9]+\/[0-9]+ Test: / { name = $3; next }
  /^Totals: / { totals[name] = $0 }
  /^SKIP   : / { sub(/^SKIP   : /, ""); skips[++nskips] = $0 }
  /^QINFO  : .* scale / { sub(/^.* scale /, ""); scales[++nscales] = $0 }
  /^Test (Passed|Failed)/ { result[name] = ($2 == "Passed.") ? "passed" : "FAILED"; order[++n] = name }
  END {
    for (i = 1; i <= n; i++) {
      t = order[i]
      if (t in totals) {
        split(totals[t], f, /[ ,]+/)
        printf "  %-22s %-7s %3d passed, %d failed, %d skipped\n", t, result[t], f[2], f[4], f[6]
        suites++; if (result[t] == "passed") suitesok++
        cases += f[2] + f[4] + f[6]; passed += f[2]; failed += f[4]; skipped += f[6]
      } else {
        printf "  %-22s %-7s (a set-up or check, not a QTest suite)\n", t, result[t]
      }
    }
    printf "suites: %d of %d passed; cases: %d passed, %d failed, %d skipped\n",
           suitesok, suites, passed, failed, skipped
    if (nscales) print "display scale, the zip at 96 and 144 DPI (device pixels, then the ratios):"
    for (i = 1; i <= nscales; i++) print "  " scales[i]
    if (nskips) print "skipped, and why:"
    for (i = 1; i <= nskips; i++) print "  " skips[i]
    if (left_out != "")
      print "left out of the Windows build, POSIX by nature (the simulated device on a " \
            "pseudo-terminal, shell scripts as the tool, kill()): " left_out
  }' "$log"
echo "zip: $zip ($(du -k "$zip" | cut -f1) KiB)"
echo "Windows round: $(( $(date +%s) - started )) s"
exit "$status"
