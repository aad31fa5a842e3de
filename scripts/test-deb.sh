#!/usr/bin/env bash
# test-deb.sh [build-dir]: makes the Debian package (scripts/package-deb.sh, build-deb/ by
# default) and proves it on this machine, as root or with sudo:
#   - lintian reports no error (its warnings and notes are printed);
#   - it holds the three programs, their commands, the desktop entries, the icons and the
#     documents, and its Depends came from dpkg-shlibdeps;
#   - it installs with apt-get; the desktop entries pass desktop-file-validate and each icon is a
#     PNG of its folder's size;
#   - quorbel, quorbel-flasher and quorbel-station, started offscreen from an empty HOME, stay
#     up, all in the data folder ~/.local/share/quorbel, where all open the one
#     CONFIG/config.ini; quorbel follows XDG_DATA_HOME when it is set; the station's window
#     comes up (it reports itself);
#   - apt-get remove leaves nothing behind in /usr, nor any package it brought in.
# It leaves the machine as it found it: whatever step fails, the programs are stopped and the
# package removed. The last line it prints is a one-line summary.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
apt_get() {
  # Another apt may hold the lock for a while; wait for it rather than fail.
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 "$@"
}
installed() { dpkg-query -W -f='${Status}' quorbel 2>/dev/null | grep -q "install ok installed"; }

step="setting up"
work="$(mktemp -d)"
pids=()
ours=0        # 1 from the moment this script asks apt to install the package
brought_in=() # what apt installs besides the package, to take away with it
finish() {
  local rc=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "$ours" = 1 ] && installed; then
    apt_get remove -y -qq quorbel >/dev/null 2>&1 || echo "deb check: could not remove quorbel" >&2
  fi
  if [ "$ours" = 1 ] && [ ${#brought_in[@]} -gt 0 ]; then
    apt_get purge -y -qq "${brought_in[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
  if [ $rc -ne 0 ]; then echo "deb check: FAILED while $step"; fi
}
trap finish EXIT
trap 'exit 130' INT TERM
fail() {
  echo "deb check: $*" >&2
  exit 1
}
# quiet <what> <command...>: runs the command, showing its output only when it fails.
quiet() {
  local what="$1"
  shift
  "$@" >"$work/output" 2>&1 || { cat "$work/output" >&2; fail "$what failed"; }
}

scripts/setup.sh lintian desktop-file-utils

step="making the package"
deb="$(scripts/package-deb.sh "$@" | tail -n1)"
name="$(basename "$deb")"

step="running lintian"
lintian_rc=0
lintian --display-info --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1 || lintian_rc=$?
echo "lintian $name:"
sed 's/^/  /' "$work/lintian"
errors="$(grep -c '^E: ' "$work/lintian" || true)"
warnings="$(grep -c '^W: ' "$work/lintian" || true)"
[ "$errors" = 0 ] || fail "lintian reports errors: $errors"
# Without an error lintian exits 0; anything else means it did not look at the package at all.
[ "$lintian_rc" = 0 ] || fail "lintian exited $lintian_rc"

step="reading the package"
sizes=(16 32 48 64 128 256)
commands=(quorbel quorbel-flasher quorbel-station)
expected=(usr/lib/quorbel/Quorbel usr/lib/quorbel/flasher usr/lib/quorbel/QuorbelStation
  usr/share/doc/quorbel/copyright usr/share/doc/quorbel/changelog.Debian.gz)
for c in "${commands[@]}"; do
  expected+=("usr/bin/$c" "usr/share/applications/$c.desktop" "usr/share/man/man1/$c.1.gz")
done
for s in "${sizes[@]}"; do expected+=("usr/share/icons/hicolor/${s}x${s}/apps/quorbel.png"); done
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort >"$work/files"
missing="$(printf '%s\n' "${expected[@]}" | sort | comm -23 - "$work/files")"
[ -z "$missing" ] || fail "the package lacks: $(echo $missing)"
files="$(wc -l <"$work/files")"
depends="$(dpkg-deb -f "$deb" Depends)"
# Found by dpkg-shlibdeps in the programs themselves: a hand-written list would miss a library.
for lib in libqt5serialport5 libqt5widgets5 libudev1; do
  [[ "$depends" == *"$lib "* ]] || fail "Depends lacks $lib: $depends"
done

step="installing the package"
installed && fail "quorbel is installed already; remove it first (apt-get remove quorbel)"
find /usr | sort >"$work/usr-before"
# What apt would bring in besides the package goes again with it.
mapfile -t brought_in < <(apt_get install -s "$deb" |
  awk '$1 == "Inst" && $2 != "quorbel" { print $2 }')
ours=1
quiet "apt-get install" apt_get install -y -qq "$deb"
installed || fail "apt-get install left quorbel not installed"
for command in "${commands[@]}"; do
  [ "$(command -v "$command")" = "/usr/bin/$command" ] || fail "no command /usr/bin/$command"
  desktop-file-validate "/usr/share/applications/$command.desktop" ||
    fail "the desktop entry $command.desktop is not valid"
done
for s in "${sizes[@]}"; do
  icon="/usr/share/icons/hicolor/${s}x${s}/apps/quorbel.png"
  file -b "$icon" | grep -q "^PNG image data, $s x $s," || fail "$icon: $(file -b "$icon")"
done

step="starting the programs"
home="$work/home"
mkdir -m 700 "$home" "$work/runtime"
labels=()
# start <label> <command> [VAR=value...]: in an empty HOME, with a bare environment, offscreen.
start() {
  local label="$1" command="$2"
  shift 2
  env -i -C "$home" HOME="$home" PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$work/runtime" \
    QT_QPA_PLATFORM=offscreen "$@" "$command" >"$work/$label.log" 2>&1 &
  pids+=($!)
  labels+=("$label")
}
data="$home/.local/share/quorbel"
start quorbel quorbel
start quorbel-flasher quorbel-flasher
start quorbel-xdg quorbel XDG_DATA_HOME="$work/xdg"
start quorbel-station quorbel-station QUORBEL_REPORT_WINDOW=1
programs=(Quorbel flasher Quorbel QuorbelStation)
folders=("$data" "$data" "$work/xdg/quorbel" "$data")

# Each program names the settings file it opened; once all have, they have started.
for i in "${!pids[@]}"; do
  line="str_CfgFileName \"${folders[$i]}/CONFIG/config.ini\""
  for _ in $(seq 300); do
    grep -qxF "$line" "$work/${labels[$i]}.log" && break
    kill -0 "${pids[$i]}" 2>/dev/null || break
    sleep 0.1
  done
  grep -qxF "$line" "$work/${labels[$i]}.log" ||
    { cat "$work/${labels[$i]}.log" >&2; fail "${labels[$i]} did not open $line"; }
done

step="watching the programs"
up=3
sleep "$up"
# The station reports its window once it is on its screen: "window=WxH text=... icons=...".
grep -q '^window=[0-9]*x[0-9]* ' "$work/quorbel-station.log" ||
  { cat "$work/quorbel-station.log" >&2; fail "quorbel-station showed no window"; }
for i in "${!pids[@]}"; do
  pid="${pids[$i]}"
  kill -0 "$pid" 2>/dev/null || { cat "$work/${labels[$i]}.log" >&2; fail "${labels[$i]} ended"; }
  exe="$(readlink "/proc/$pid/exe")"
  cwd="$(readlink "/proc/$pid/cwd")"
  [ "$exe" = "/usr/lib/quorbel/${programs[$i]}" ] || fail "${labels[$i]} runs $exe"
  [ "$cwd" = "${folders[$i]}" ] || fail "${labels[$i]} runs in $cwd, not ${folders[$i]}"
done
configs="$(find "$home" -name CONFIG)"
[ "$configs" = "$data/CONFIG" ] || fail "CONFIG folders under HOME: $(echo $configs)"
for pid in "${pids[@]}"; do kill "$pid"; done
for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
pids=()

step="removing the package"
quiet "apt-get remove" apt_get remove -y -qq quorbel
if [ ${#brought_in[@]} -gt 0 ]; then
  quiet "apt-get purge ${brought_in[*]}" apt_get purge -y -qq "${brought_in[@]}"
fi
ours=0
installed && fail "quorbel is still installed"
status="$(dpkg-query -W -f='${db:Status-Abbrev}' quorbel 2>/dev/null || true)"
[[ "$status" != rc* ]] || fail "quorbel left its configuration files"
# New paths in /usr that no package owns were left by this one (others may install meanwhile).
find /usr | sort >"$work/usr-after"
left="$(comm -13 "$work/usr-before" "$work/usr-after" | while read -r p; do
  dpkg -S "$p" >/dev/null 2>&1 || echo "$p"
done)"
[ -z "$left" ] || fail "left in /usr: $(echo $left)"

step="summing up"
echo "deb check: passed: $name, $files files; lintian errors $errors, warnings $warnings;" \
  "installed, ${#commands[@]} valid desktop entries, ${#sizes[@]} icons; ${commands[*]} up ${up} s" \
  "from an empty HOME in one CONFIG under ~/.local/share/quorbel, the station's window shown;" \
  "removed, nothing left in /usr"
