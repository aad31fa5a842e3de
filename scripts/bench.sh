#!/usr/bin/env bash
# bench.sh [build-dir]: builds the benchmarks in a Release tree (default build-bench) and runs
# them all, then prints one table: each measure with Quorbel's figure, the reference figure and
# their ratio. Each program's own details (per-run figures, the parser's report) go to
# <build-dir>/bench-details.log. Takes about three minutes; nothing else should run meanwhile.
#
# Repetitions can be changed through QUORBEL_BENCH_STARTUP_RUNS, QUORBEL_BENCH_GETINFO_RUNS,
# QUORBEL_BENCH_IDLE_ROUNDS, QUORBEL_BENCH_BURN_RUNS, QUORBEL_BENCH_IMAGE_MIB,
# QUORBEL_BENCH_RECORD_RUNS, QUORBEL_BENCH_RECORD_MIB and QUORBEL_BENCH_STATION_RUNS.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build-bench}"

if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORBEL_WERROR=ON >/dev/null
else
  # Figures from a debug build would mean nothing; make sure of the type.
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$dir" --target quorbel_bench -j2 >/dev/null

bin="$dir/bin"
details="$dir/bench-details.log"
rows="$(mktemp)"
trap 'rm -f "$rows"' EXIT
: >"$details"

# A program that fails leaves a row saying so; the others still run.
run() {
  local name="$1"
  echo "== $name" >>"$details"
  if [ ! -x "$bin/$name" ]; then
    echo "row|$name|not built|-|-" >>"$rows"
    return
  fi
  local out
  if out="$("$bin/$name" 2>>"$details")"; then
    grep '^row|' <<<"$out" >>"$rows" || echo "row|$name|no figures|-|-" >>"$rows"
  else
    echo "row|$name|failed (see $details)|-|-" >>"$rows"
  fi
}

load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
run bench_startup
run bench_getinfo
run bench_parser
run bench_idle
run bench_responsiveness
run bench_record
run bench_station
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"

echo "Quorbel benchmarks, $(date '+%Y-%m-%d %H:%M'), $(nproc) cores," \
  "load average $load_before before and $load_after after"
{
  echo "measure|Quorbel|reference|ratio"
  cut -d'|' -f2- "$rows"
} | awk -F'|' '
  { for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
  END {
    for (r = 1; r <= NR; r++) {
      line = ""
      for (i = 1; i < 4; i++) line = line sprintf("%-" w[i] "s  ", cell[r, i])
      print line cell[r, 4]
      if (r == 1) {
        rule = sprintf("%" (w[1] + w[2] + w[3] + w[4] + 6) "s", "")
        gsub(/ /, "-", rule)
        print rule
      }
    }
  }'
