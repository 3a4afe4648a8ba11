#!/usr/bin/env bash
# Runs a command under Wine in a prefix of its own, made for this run and removed after it, whose
# machine root store trusts the given throw-away roots, as a machine that has its publisher's root
# does. No other prefix is ever given a root: a root is untrusted wherever a run does not name it.
#   with-trusted-roots.sh ROOT_STORE [ROOT.pem ...] -- COMMAND [ARGUMENT ...]
# ROOT_STORE is the Windows build's tests/root_store.exe. The command runs as under
# scripts/with-wine-display.sh, with a virtual display; making the prefix takes about 7 s.
set -euo pipefail
usage() { echo "usage: with-trusted-roots.sh ROOT_STORE [ROOT.pem ...] -- COMMAND [ARGUMENT ...]" >&2; exit 64; }
[ $# -ge 3 ] || usage
store=$1
shift
roots=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  roots+=("$1")
  shift
done
[ $# -ge 2 ] || usage
shift
scripts=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for i in "${!roots[@]}"; do
  openssl x509 -in "${roots[$i]}" -outform DER -out "$scratch/root-$i.der"
done
# with-wine-display.sh makes the prefix, runs the command and stops the prefix's Wine server.
VELMORA_WINEPREFIX=$scratch/wineprefix "$scripts/with-wine-display.sh" bash -c '
  scripts=$1 store=$2 scratch=$3
  shift 3
  for der in "$scratch"/root-*.der; do
    [ -e "$der" ] || continue
    added=$("$scripts/wine-run.sh" "$store" add "Z:${der//\//\\}" | tr -d "\r")
    [ "$added" == added ] || { echo "with-trusted-roots: $der not trusted: $added" >&2; exit 1; }
  done
  "$@"' with-trusted-roots "$scripts" "$store" "$scratch" "$@"
