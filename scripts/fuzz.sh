#!/usr/bin/env bash
# fuzz.sh <fuzz-build-dir> <seconds>: runs every libFuzzer target of the build for that long,
# side by side, and fails if any of them finds a crash.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; seconds="$2"

pids=()
names=()
for target in "$dir"/bin/fuzz_*; do
  name="$(basename "$target")"
  corpus="$dir/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  # The recorded tool outputs make a good start for the text rules.
  if [ "$name" = fuzz_flashtext ]; then seeds=("$root/tests/data"); fi
  "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/$name-" \
    "$corpus" "${seeds[@]}" >"$dir/$name.log" 2>&1 &
  pids+=("$!")
  names+=("$name")
done

status=0
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then
    echo "${names[$i]}: $(grep -m1 -E '^stat::number_of_executed_units' "$dir/${names[$i]}.log" || true)"
  else
    echo "${names[$i]}: FAILED"
    tail -n 40 "$dir/${names[$i]}.log"
    status=1
  fi
done
exit $status
