#!/usr/bin/env bash
# Two releases of the commit checked out here, from clones in differently named folders, one after
# the other, under other umasks and time zones: the archives, and so every file in them, are the
# same bytes. Each clone takes its own copy of the fetched Boost sources, at its own path. Then what
# one release holds is checked: its checksums, its third-party notices.
# Run by scripts/test.sh after the build; about a minute.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
commit=$(git -C "$repo" rev-parse HEAD)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

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
for shipped in Velmora.exe velmora-update.exe sign-update.sh publish-update.sh velmora-feed docs/updater.md; do
  grep -q "  $shipped\$" "$work"/unpacked/*/SHA256SUMS || fail "$shipped not in the release's SHA256SUMS"
done
# The tools that sign and publish updates, as in the source and ready to run.
for name in sign-update.sh publish-update.sh; do
  tool=$(echo "$work"/unpacked/*/$name)
  cmp "$work/one/scripts/$name" "$tool" && [ -x "$tool" ] || fail "$name not shipped as in the source"
done

# velmora-feed runs beside publish-update.sh as shipped: linked whole, it answers with its usage.
feed_tool=$(echo "$work"/unpacked/*/velmora-feed)
file "$feed_tool" | grep -q 'static' || fail "velmora-feed is not linked whole: $(file "$feed_tool")"
{ "$feed_tool" 2>&1 || true; } | grep -q '^usage: velmora-feed' || fail "velmora-feed does not run"

# The notices: a section each for Boost, mingw-w64, GCC, and for velmora-feed the C library and
# OpenSSL, naming the packages with the versions installed, and holding their copyright files whole.
notices=$(echo "$work"/unpacked/*/THIRD-PARTY-NOTICES.txt)
for title in Boost mingw-w64 GCC "GNU C Library" OpenSSL; do
  grep -A1 -x '=\{72\}' "$notices" | grep -q "^$title" || fail "no $title section in $notices"
done
packages=(libboost1.81-dev mingw-w64-x86-64-dev g++-mingw-w64-x86-64-posix libc6-dev libssl-dev libstdc++-12-dev)
for pkg in "${packages[@]}"; do
  grep -qF "  $pkg $(dpkg-query -W -f '${Version}' "$pkg"): " "$notices" || fail "$pkg not named with its version"
done
python3 -c 'import sys; n = open(sys.argv[1]).read()
sys.exit([p for p in sys.argv[2:] if open(f"/usr/share/doc/{p}/copyright").read() not in n] or None)' \
  "$notices" "${packages[@]}" || fail "copyright files not whole in $notices"
# A copyright file gone, hidden in a mount namespace of the test's own: no notices, and why.
if unshare -m true 2>/dev/null; then
  mkdir "$work/empty"
  # shellcheck disable=SC2016 # the inner shell expands them
  ! unshare -m bash -c 'mount --bind "$1" /usr/share/doc/mingw-w64-x86-64-dev && "$2/scripts/notices.sh" "$2/build/release"' \
    _ "$work/empty" "$work/one" >/dev/null 2>"$work/notices.err" || fail "notices written without a copyright file"
  grep -F 'cannot read /usr/share/doc/mingw-w64-x86-64-dev/copyright' "$work/notices.err" || fail "$(cat "$work/notices.err")"
else
  echo "reproducible: no mount namespace here, so a missing copyright file is not tried"
fi
echo "reproducible: each SHA256SUMS checks what stands beside it; the notices are whole"
