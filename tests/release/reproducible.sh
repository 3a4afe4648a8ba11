#!/usr/bin/env bash
# Two releases of the commit checked out here, from clones in differently named folders, one after
# the other, under other umasks and time zones: the archives, and so every file in them, are the
# same bytes. Each clone takes its own copy of the fetched Boost sources, at its own path.
# Run by scripts/test.sh after the build; about a minute.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
commit=$(git -C "$repo" rev-parse HEAD)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

release() {  # folder umask TZ
  local clone=$work/$1
  git clone -q "$repo" "$clone"
  git -C "$clone" checkout -q --detach "$commit"
  [ ! -d "$repo/.cache/boost" ] || { mkdir "$clone/.cache" && cp -a "$repo/.cache/boost" "$clone/.cache/"; }
  if ! (cd "$clone" && umask "$2" && TZ=$3 scripts/release.sh) >"$clone.log" 2>&1; then
    tail -n 30 "$clone.log" >&2
    echo "FAIL: scripts/release.sh in $clone" >&2
    exit 1
  fi
}
release one 022 UTC0
release the-second-clone 077 XYZ-14

diff -r "$work/one/dist" "$work/the-second-clone/dist"
echo "reproducible: two releases of $commit are the same bytes"

# Each SHA256SUMS checks, with no options, exactly what stands beside it: the archive in dist/, and
# every file of the unpacked archive.
unzip -q "$work"/one/dist/*.zip -d "$work/unpacked"
for dir in "$work/one/dist" "$work"/unpacked/*; do
  (cd "$dir" && sha256sum -c SHA256SUMS &&
     diff <(sed 's/^[0-9a-f]*  //' SHA256SUMS) <(find . -type f ! -path ./SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort))
done
grep Velmora.exe "$work"/unpacked/*/SHA256SUMS
