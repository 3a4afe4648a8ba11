#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with the fuzz preset (clang, address and undefined-behaviour
# sanitizers) and runs each for a bounded time over a copy of its seed corpus and its regression inputs.
# Prints one line per target; exits nonzero on any finding (crash, sanitizer report, hang,
# or a property the target checks).
#   scripts/fuzz.sh [SECONDS_PER_TARGET]      default 60, or $VELMORA_FUZZ_SECONDS
# New findings are written to build/fuzz/findings/<target>/; a fixed one belongs in
# fuzz/regressions/<target>/, which every run replays first.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${VELMORA_FUZZ_SECONDS:-60}}
build=$PWD/build/fuzz
scripts/install-deps.sh
mkdir -p "$build"
if ! { cmake --preset fuzz && cmake --build --preset fuzz; } >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log"
  echo "fuzz: the build failed (log: $build/build.log)"
  exit 1
fi

executions() {
  local count
  count=$(sed -n 's/^stat::number_of_executed_units: *//p' "$1" | tail -n 1)
  [ -n "$count" ] || count=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$1" | tail -n 1)
  echo "${count:-0}"
}

status=0
for target in command_line hand_over manifest feed; do
  fuzzer=$build/fuzz/${target}_fuzzer
  log=$build/$target.log
  corpus=$build/corpus/$target
  findings=$build/findings/$target
  rm -rf "$corpus" "$findings"
  mkdir -p "$corpus" "$findings"
  cp -p fuzz/corpus/$target/* "$corpus"/
  regressions=()
  for input in fuzz/regressions/$target/*; do
    [ -f "$input" ] && regressions+=("$input")
  done
  [ ${#regressions[@]} -eq 0 ] || cp -p "${regressions[@]}" "$corpus"/
  options=(-timeout=5 -rss_limit_mb=2048 -artifact_prefix="$findings/")
  [ -f fuzz/$target.dict ] && options+=(-dict=fuzz/$target.dict)

  # Each regression input on its own first: a fault found once must stay fixed.
  if [ ${#regressions[@]} -gt 0 ] && ! "$fuzzer" "${options[@]}" "${regressions[@]}" >"$log" 2>&1; then
    failed=$(sed -n 's/^Running: //p' "$log" | tail -n 1)
    echo "fuzz $target: FAILED on regression input ${failed:-?}: $(grep -m1 -h 'SUMMARY' "$log" || echo 'see log') (log: $log)"
    status=1
    continue
  fi
  if "$fuzzer" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 "$corpus" >>"$log" 2>&1; then
    echo "fuzz $target: $(executions "$log") executions in ${seconds} s, no findings"
  else
    echo "fuzz $target: FINDING after $(executions "$log") executions: $(grep -m1 -h 'SUMMARY' "$log" || echo 'see log');" \
         "input in $findings (log: $log)"
    status=1
  fi
done
exit "$status"
