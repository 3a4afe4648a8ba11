#!/usr/bin/env bash
# Two releases of the commit checked out here, its record of the publisher's keys replaced by one
# made for the run, from clones in differently named folders, one after the other, under other
# umasks and time zones: the archives, and so every file in them, are the same bytes; a record that
# pins no key, or the tests' keys, is refused first. Each clone takes its own copy of the fetched
# Boost sources, at its own path. Then what one release holds is checked: its checksums, its
# third-party notices.
# Run by scripts/test.sh after the build; about a minute.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
commit=$(git -C "$repo" rev-parse HEAD)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The publisher's keys of this run: a throw-away key made here, as a vendor pins its own (the
# repository's record pins none, and release.sh refuses the tests' public ones), committed alike in
# both clones, so that both build the same commit.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/release-key.pem" 2>/dev/null
printf 'velmora-keys 1\nproduct velmora\nversion 1\nkey %s\n' \
  "$(openssl pkey -in "$work/release-key.pem" -pubout -outform DER | sha256sum | cut -c1-64)" >"$work/publisher.keys"
pin() {  # CLONE
  cp "$work/publisher.keys" "$1/keys/publisher.keys"
  GIT_AUTHOR_NAME=release GIT_AUTHOR_EMAIL=release@example.invalid GIT_COMMITTER_NAME=release \
    GIT_COMMITTER_EMAIL=release@example.invalid GIT_AUTHOR_DATE=@1700000000 GIT_COMMITTER_DATE=@1700000000 \
    git -C "$1" commit -q -m "The publisher's keys" keys/publisher.keys
}

release() {  # folder umask TZ
  local clone=$work/$1
  git clone -q "$repo" "$clone"
  git -C "$clone" checkout -q --detach "$commit"
  pin "$clone"
  [ ! -d "$repo/.cache/boost" ] || { mkdir "$clone/.cache" && cp -a "$repo/.cache/boost" "$clone/.cache/"; }
  if ! (cd "$clone" && umask "$2" && TZ=$3 scripts/release.sh) >"$clone.log" 2>&1; then
    tail -n 30 "$clone.log" >&2
    echo "FAIL: scripts/release.sh in $clone" >&2
    exit 1
  fi
}
# A record that pins no key, or a key of the tests', is never shipped: refused before anything is built.
git clone -q "$repo" "$work/refused"
git -C "$work/refused" checkout -q --detach "$commit"
printf 'velmora-keys 1\nproduct velmora\nversion 1\n' >"$work/refused/keys/publisher.keys"
! "$work/refused/scripts/release.sh" >/dev/null 2>"$work/refused.err" && grep -q "pins no key" "$work/refused.err" ||
  fail "a release without keys: $(cat "$work/refused.err")"
cp "$repo/tests/keys/publisher.keys" "$work/refused/keys/publisher.keys"
! "$work/refused/scripts/release.sh" >/dev/null 2>"$work/refused.err" && grep -q "public test key" "$work/refused.err" ||
  fail "a release pinning the tests' keys: $(cat "$work/refused.err")"
[ ! -e "$work/refused/build" ] && [ ! -e "$work/refused/dist" ] || fail "a refused release built something"

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
for shipped in Velmora.exe velmora-update.exe sign-update.sh publish-update.sh velmora-feed publisher-keys.sh \
  keys/publisher.keys docs/updater.md; do
  grep -q "  $shipped\$" "$work"/unpacked/*/SHA256SUMS || fail "$shipped not in the release's SHA256SUMS"
done
# The tools that sign and publish updates, as in the source and ready to run.
for name in sign-update.sh publish-update.sh publisher-keys.sh; do
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
