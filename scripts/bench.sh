#!/usr/bin/env bash
# Builds what the benchmarks need and prints one table of figures (see docs/benchmarks.md).
#   scripts/bench.sh [--quick]
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
targets=(Velmora recorder spawn_floor velmora_shared_runtime velmora_static_runtime)
build linux
targets=(Velmora recorder spawn_floor)
build windows -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake"

export VELMORA_WINEPREFIX=${VELMORA_WINEPREFIX:-$bench_dir/wineprefix}
if [ ! -f "$VELMORA_WINEPREFIX/system.reg" ]; then
  echo "bench: creating the Wine prefix $VELMORA_WINEPREFIX" >&2
  (source scripts/wine-env.sh && mkdir -p "$WINEPREFIX" && "${wine_loader[@]}" wineboot --init &&
   /usr/lib/wine/wineserver -w) >/dev/null 2>&1
fi
scripts/with-wine-display.sh python3 bench/bench.py \
  --linux "$bench_dir/linux" --windows "$bench_dir/windows" --work "$bench_dir/work" "$@"
