#!/usr/bin/env bash
# What the publisher check costs under Wine, timed by the platform probe around CheckUpdateOrigin
# alone, so Wine's start of the process is left out. Prints, for a signed installation whose
# staged loader (the built loader, signed) and application (the recorder, signed) are both
# verified, and for an unsigned installation (its loader read, nothing verified):
#   cold   the first check in each of RUNS processes: what a start pays, system libraries loaded
#   warm   RUNS further checks in one process
# with the median, lowest and highest, in milliseconds.
#   bench/update_origin.sh [RUNS]      (default 20; needs the Windows build in build/windows)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
build=build/windows
probe=$build/tests/platform_probe.exe
[ -x "$probe" ] && [ -f "$build/Velmora.exe" ] && [ -f "$build/tests/recorder.exe" ] ||
  { echo "update_origin: build first: cmake --build --preset windows --target Velmora recorder platform_probe" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash scripts/signed-samples.sh "$work" "$build/Velmora.exe" "$build/tests/recorder.exe"
export work probe runs

scripts/with-wine-display.sh bash -c '
  win() { printf "Z:%s" "${1//\//\\}"; }
  check() { scripts/wine-run.sh "$probe" origin "$@" | tr -d "\r"; }
  summary() {  # LABEL, then microseconds on standard input
    python3 -c "import statistics, sys
values = [int(line) / 1000 for line in sys.stdin if line.strip()]
print(f\"{sys.argv[1]:<34}{statistics.median(values):>9.1f}{min(values):>9.1f}{max(values):>9.1f}\")" "$1"
  }
  measure() {  # LABEL INSTALLED_LOADER INSTALLED_APP STAGED_LOADER STAGED_APP
    local label=$1 files=()
    shift
    for name in "$@"; do files+=("$(win "$work/$name")"); done
    for _ in $(seq "$runs"); do check "${files[@]}" --time 1 | sed -n 2p; done | summary "$label, cold"
    check "${files[@]}" --time $((runs + 1)) | sed -n "3,\$p" | summary "$label, warm"
  }
  echo "staged loader $(stat -c %s "$work/renewed.exe") bytes, staged application $(stat -c %s "$work/recorder-a.exe") bytes, $runs runs"
  printf "%-34s%9s%9s%9s\n" "check (ms)" median lowest highest
  measure "signed installation" signed.exe recorder-a.exe renewed.exe recorder-a.exe
  measure "unsigned installation" unsigned.exe recorder.exe renewed.exe recorder.exe
'
