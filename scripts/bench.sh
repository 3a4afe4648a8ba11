#!/usr/bin/env bash
# Builds what the benchmarks need and prints one table of figures (see docs/benchmarks.md).
#   scripts/bench.sh [--quick]      (a full run also redraws docs/start-latency.png, docs/apply-time.png)
#   scripts/bench.sh --staging      only the figures of a staging's check and of a start that hands over or waits
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
  if ! { cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" &&
         cmake --build "$dir" --target "${targets[@]}"; } >"$bench_dir/$name.log" 2>&1; then
    tail -n 40 "$bench_dir/$name.log" >&2
    echo "bench: the $name build failed (log: $bench_dir/$name.log)" >&2
    exit 1
  fi
}
targets=(Velmora recorder platform_probe spawn_floor)
build linux
# The Windows build also trusts a throw-away root in the benchmarks' prefix, and takes it out again.
targets+=(root_store)
build windows -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake"

plots=(--plots "$repo/docs")
[[ " $* " == *" --quick "* || " $* " == *" --staging "* ]] && plots=()
export VELMORA_WINEPREFIX=${VELMORA_WINEPREFIX:-$bench_dir/wineprefix}
scripts/with-wine-display.sh python3 bench/bench.py \
  --linux "$bench_dir/linux" --windows "$bench_dir/windows" --work "$bench_dir/work" "${plots[@]}" "$@"
