#!/usr/bin/env bash
# Builds what the benchmarks need and prints one table of figures (see docs/benchmarks.md).
#   scripts/bench.sh [--quick]      (a full run also redraws docs/start-latency.png, docs/apply-time.png)
#   scripts/bench.sh --staging      only the figures of a staging's check and of a start that hands over or waits
#   scripts/bench.sh --updater      only the updater's figures (bench/updater.py), natively and under Wine
# Builds in build/bench/{linux,windows} (or $VELMORA_BENCH_DIR) and runs the Windows programs
# in a Wine prefix of its own, so a test run elsewhere on the machine is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
bench_dir=$(realpath -m "${VELMORA_BENCH_DIR:-build/bench}")
mkdir -p "$bench_dir"
scripts/install-deps.sh >&2

# Set-up chatter goes to a log: standard output is for the table.
build() {
  local name=$1
  shift
  local dir=$bench_dir/$name
  # The benchmarks sign what they publish with the tests' throw-away keys, which these builds pin.
  if ! { cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_PUBLISHER_KEYS=tests/keys/publisher.keys "$@" &&
         cmake --build "$dir" --target "${targets[@]}"; } >"$bench_dir/$name.log" 2>&1; then
    tail -n 40 "$bench_dir/$name.log" >&2
    echo "bench: the $name build failed (log: $bench_dir/$name.log)" >&2
    exit 1
  fi
}
targets=(Velmora recorder platform_probe spawn_floor velmora-update)
build linux
# The Windows build also trusts a throw-away root in the benchmarks' prefix, and takes it out again.
targets+=(root_store)
build windows -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake"

# The updater against nginx on 127.0.0.1, beside curl; then under Wine, the same rows as figures.
updater_bench() {
  local quick=()
  [[ " $* " != *" --quick "* ]] || quick=(--quick)
  python3 bench/updater.py --updater "$bench_dir/linux/velmora-update" --loader "$bench_dir/linux/Velmora.exe" \
    --recorder "$bench_dir/linux/tests/recorder" "${quick[@]}"
  VELMORA_WINEPREFIX=${VELMORA_WINEPREFIX:-$bench_dir/wineprefix} scripts/with-wine-display.sh python3 bench/updater.py \
    --wine --updater "$bench_dir/windows/velmora-update.exe" --loader "$bench_dir/windows/Velmora.exe" \
    --recorder "$bench_dir/windows/tests/recorder.exe" "${quick[@]}"
}
if [[ " $* " == *" --updater "* ]]; then
  updater_bench "$@"
  exit 0
fi

plots=(--plots "$repo/docs")
[[ " $* " == *" --quick "* || " $* " == *" --staging "* ]] && plots=()
export VELMORA_WINEPREFIX=${VELMORA_WINEPREFIX:-$bench_dir/wineprefix}
scripts/with-wine-display.sh python3 bench/bench.py \
  --linux "$bench_dir/linux" --windows "$bench_dir/windows" --work "$bench_dir/work" "${plots[@]}" "$@"
[[ " $* " == *" --staging "* ]] || updater_bench "$@"
