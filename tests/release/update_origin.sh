#!/usr/bin/env bash
# The publisher check under Wine over real signed files: the loader in signed and unsigned
# installations against stagings signed by the same publisher, by a renewed certificate, by
# another publisher, changed after signing or unsigned (SCENARIO, the publisher scenario test);
# then, through the platform probe, what the loader cannot show: files that cannot be checked,
# further accepted names, and the staged loader held against replacing.
#   update_origin.sh PROBE RENAMED_PROBE LOADER RECORDER SCENARIO
# RENAMED_PROBE is the probe built to accept "Velmora Other Publisher" besides the installation's own.
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: update_origin.sh PROBE RENAMED_PROBE LOADER RECORDER SCENARIO" >&2; exit 64; }
probe=$1 renamed=$2 loader=$3 recorder=$4 scenario=$5
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$repo/scripts/signed-samples.sh" "$work" "$loader" "$recorder"
failures=0
VELMORA_SIGNED_FIXTURES="Z:${work//\//\\}" "$repo/scripts/wine-run.sh" "$scenario" || failures=$((failures + 1))

origin() {  # PROBE INSTALLED_LOADER INSTALLED_APP STAGED_LOADER STAGED_APP [OPTION...]
  local program=$1 args=()
  shift
  for name in "$@"; do
    case $name in --*) args+=("$name") ;; *) args+=("Z:${work//\//\\}\\$name") ;; esac
  done
  "$repo/scripts/wine-run.sh" "$program" origin "${args[@]}" | tr -d '\r'
}
expect() {  # WANT ROW GOT
  if [ "$3" == "$1" ]; then
    echo "ok    $2"
  else
    echo "FAIL  $2: got '${3//$'\n'/|}', want '${1//$'\n'/|}'" >&2
    failures=$((failures + 1))
  fi
}

# probe     installed loader  installed app   staged loader  staged app      outcome
rows="
probe       signed.exe        recorder.exe    missing.exe    recorder.exe    unknown
probe       missing.exe       recorder.exe    signed.exe     recorder.exe    unknown
renamed     signed.exe        recorder.exe    other.exe      recorder.exe    publisher
renamed     signed.exe        recorder.exe    tampered.exe   recorder.exe    refused
renamed     signed.exe        recorder-a.exe  renewed.exe    recorder-b.exe  publisher
"
while read -r which installedLoader installedApp stagedLoader stagedApp want; do
  [ -n "$which" ] || continue
  case $which in probe) program=$probe ;; *) program=$renamed ;; esac
  row="$which $installedLoader $installedApp $stagedLoader $stagedApp"
  expect "$want" "$row" "$(origin "$program" "$installedLoader" "$installedApp" "$stagedLoader" "$stagedApp")"
done <<<"$rows"

# Held while accepted: neither deleted nor written, and still the bytes that were checked.
cp "$work/renewed.exe" "$work/held.exe"
expect $'publisher\ndelete refused\nwrite refused' "held against replacing" \
  "$(origin "$probe" signed.exe recorder.exe held.exe recorder.exe --try-replace)"
cmp -s "$work/renewed.exe" "$work/held.exe" || { echo "FAIL: the held loader changed" >&2; failures=$((failures + 1)); }
# A refused one is let go before the answer.
cp "$work/other.exe" "$work/loose.exe"
expect $'refused\ndelete done\nwrite done' "let go when refused" \
  "$(origin "$probe" signed.exe recorder.exe loose.exe recorder.exe --try-replace)"

[ "$failures" -eq 0 ] || { echo "$failures failed" >&2; exit 1; }
