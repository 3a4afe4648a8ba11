#!/usr/bin/env bash
# What the check of a staging costs under Wine, timed by the platform probe around the check alone
# (`check-staging`), so Wine's start of the process is left out. The staged loader is the built
# loader signed, the application the recorder signed, with a tag and a small library beside it.
# Prints, for a signed installation taking its publisher's whole signed staging (the staged
# loader's and the manifest's signatures verified, every file hashed), for an unsigned one with a
# manifest (every file hashed) and for an unsigned one without (nothing checked):
#   cold   the first check in each of RUNS processes: what a start pays, system libraries loaded
#   warm   RUNS further checks in one process
# with the median, lowest and highest, in milliseconds.
#   bench/update_origin.sh [RUNS]      (default 20; needs the Windows build in build/windows)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
build=build/windows
probe=$build/tests/platform_probe.exe
store=$build/tests/root_store.exe
[ -x "$probe" ] && [ -f "$build/Velmora.exe" ] && [ -f "$build/tests/recorder.exe" ] && [ -f "$store" ] || {
  echo "update_origin: build first: cmake --build --preset windows --target Velmora recorder platform_probe root_store" >&2
  exit 1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash scripts/signed-samples.sh "$work" "$build/Velmora.exe" "$build/tests/recorder.exe"
install() {  # NAME INSTALLED_LOADER STAGED_LOADER STAGED_APP [CERTIFICATE]
  local dir=$work/$1
  mkdir -p "$dir/app" "$dir/data/update/app"
  cp "$work/$2" "$dir/Velmora.exe"
  cp "$work/$4" "$dir/app/velmora.exe"
  cp "$work/$3" "$dir/data/update/Velmora.exe"
  cp "$work/$4" "$dir/data/update/app/velmora.exe"
  printf 'app v2\n' >"$dir/data/update/app/tag.txt"
  head -c 65536 "$work/$4" >"$dir/data/update/app/library.dll"
  [ "${5:-}" != none ] || return 0
  VELMORA_SIGN_PFX=${5:+$work/$5.pfx} VELMORA_SIGN_PASSWORD_FILE=${5:+$work/pass} VELMORA_SIGN_CAFILE=$work/root.pem \
    bash scripts/sign-update.sh "$dir/data/update" >/dev/null
}
install signed signed.exe renewed.exe recorder-a.exe renewed
install unsigned-manifest unsigned.exe unsigned.exe recorder.exe
install unsigned unsigned.exe unsigned.exe recorder.exe none
export work probe runs

# In a Wine prefix of its own that trusts the samples' root, as a machine of the publisher's users does.
scripts/with-trusted-roots.sh "$store" "$work/root.pem" -- bash -c '
  check() { scripts/wine-run.sh "$probe" check-staging "Z:${1//\//\\}" --repeat "$2" | tr -d "\r"; }
  summary() {  # LABEL, then microseconds on standard input
    python3 -c "import statistics, sys
values = [int(line) / 1000 for line in sys.stdin if line.strip()]
print(f\"{sys.argv[1]:<40}{statistics.median(values):>9.1f}{min(values):>9.1f}{max(values):>9.1f}\")" "$1"
  }
  measure() {  # LABEL INSTALLATION
    [ "$(check "$work/$2" 1 | head -n 1)" == taken ] || { echo "update_origin: $2 is not taken" >&2; exit 1; }
    for _ in $(seq "$runs"); do check "$work/$2" 1 | sed -n 2p; done | summary "$1, cold"
    check "$work/$2" $((runs + 1)) | sed -n "3,\$p" | summary "$1, warm"
  }
  echo "staged loader $(stat -c %s "$work/renewed.exe") bytes, staged application $(stat -c %s "$work/recorder-a.exe") bytes, $runs runs"
  printf "%-40s%9s%9s%9s\n" "check (ms)" median lowest highest
  measure "signed installation, signed manifest" signed
  measure "unsigned installation, manifest" unsigned-manifest
  measure "unsigned installation, no manifest" unsigned
'
