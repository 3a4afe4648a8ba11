#!/usr/bin/env bash
# Builds the Windows loader as shipped, in a clean folder (build/release), and packs a release:
#   dist/Velmora-<version>-win64.zip   the loader, the updater (velmora-update.exe, shipped in an
#                                      installation's app\), the README's parts for those who ship
#                                      them, the staging contract and the updater's page,
#                                      sign-update.sh (which signs an update for signed
#                                      installations), publish-update.sh (which publishes a signed
#                                      release to a web server's tree), velmora-feed (the native
#                                      Linux program it runs to write and check the feeds, built
#                                      alone in build/release-feed), publisher-keys.sh and
#                                      keys/publisher.keys (the keys both programs pin, and the tool
#                                      that rotates them), the third-party notices
#                                      (scripts/notices.sh) and SHA256SUMS, the checksums of the other
#                                      files in it
#   dist/SHA256SUMS                    the archive's checksum
# With VELMORA_SIGN_PFX and VELMORA_SIGN_PASSWORD_FILE set, both programs are signed first (see
# scripts/sign.sh, which also reads VELMORA_SIGN_TIMESTAMP_URL and VELMORA_SIGN_CAFILE).
# Two runs on one commit write the same bytes, signatures aside: the archive's times are
# SOURCE_DATE_EPOCH, by default the commit's time.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
die() { echo "release: $*" >&2; exit 1; }

if [ -n "${VELMORA_SIGN_PFX:-}${VELMORA_SIGN_PASSWORD_FILE:-}" ]; then
  [ -n "${VELMORA_SIGN_PFX:-}" ] && [ -n "${VELMORA_SIGN_PASSWORD_FILE:-}" ] ||
    die "set both VELMORA_SIGN_PFX and VELMORA_SIGN_PASSWORD_FILE to sign, or neither"
fi
# Both programs take only what the publisher's keys sign (keys/publisher.keys, built in as committed):
# a build pinning none would take nothing, one pinning the tests' public keys would take anyone's.
record=$(grep -v '^#' keys/publisher.keys | grep -v '^$' || true)
pinned=$(sed -n 's/^key \([0-9a-f]\{64\}\)$/\1/p' <<<"$record")
[ -n "$pinned" ] || die "keys/publisher.keys pins no key, so the programs would take no update: add the SHA-256 of
  your signing key's public key (openssl x509 -in signer.pem -pubkey -noout | openssl pkey -pubin -outform DER |
  sha256sum) as a line 'key <64 hex digits>', and a second key kept offline, then commit it"
for test_key in tests/keys/*.pem; do
  if grep -qx "$(openssl pkey -in "$test_key" -pubout -outform DER | sha256sum | cut -c1-64)" <<<"$pinned"; then
    die "keys/publisher.keys pins the public test key $test_key, with which anyone can sign: pin your own keys"
  fi
done
commit=$(git rev-parse HEAD) || die "not a git checkout"
# Only the archive takes this time: the loader has none (see cmake/Reproducible.cmake).
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "release: warning: uncommitted changes, so this is not a release of $commit" >&2
  commit="$commit and uncommitted changes"
fi

scripts/install-deps.sh
rm -rf build/release build/release-feed dist
cmake --preset release >/dev/null
cmake --build --preset release
cmake --preset release-feed >/dev/null
cmake --build --preset release-feed
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
name=Velmora-$version-win64
pack=build/release/pack/$name
mkdir -p "$pack/docs"

# What the README tells those who ship the loader: what it does, the layout on disk and the
# command line; not how to build or test it.
section() { awk -v want="## $1" '$0 == want { on = 1 } on && /^## / && $0 != want { exit } on' README.md; }
{
  awk 'NF == 0 && ++blank == 2 { exit } { print }' README.md
  for title in "Layout on disk" "Command line and exit codes"; do
    text=$(section "$title")
    [ -n "$text" ] || die "README.md has no section '## $title'"
    printf '\n%s\n' "$text"
  done
  # What a rebuild checks out.
  printf '\nBuilt by scripts/release.sh from commit %s.\n' "$commit"
} >"$pack/README.md"
# The staging contract, and any other page those parts link to.
# A link may name a section of its page ("docs/x.md#part"): the page is what is copied.
for doc in $( (echo docs/staging.md; echo docs/updater.md; grep -o '](docs/[^)#]*' "$pack/README.md" | sed 's/^](//') | sort -u); do
  cp "$doc" "$pack/$doc"
done

for program in Velmora.exe velmora-update.exe; do
  if [ -n "${VELMORA_SIGN_PFX:-}" ]; then
    scripts/sign.sh "build/release/$program" "$pack/$program"
    signed="signed with $VELMORA_SIGN_PFX"
  else
    cp "build/release/$program" "$pack/$program"
    signed="NOT signed: set VELMORA_SIGN_PFX and VELMORA_SIGN_PASSWORD_FILE to sign them"
  fi
done
# Signed installations take only updates whose manifest the vendor signed: the tool that writes it,
# and the one that publishes it for the updater.
cp scripts/sign-update.sh "$pack/sign-update.sh"
cp scripts/publish-update.sh "$pack/publish-update.sh"
cp build/release-feed/velmora-feed "$pack/velmora-feed"
# The keys the programs pin, and the tool that rotates them in a release tree.
cp scripts/publisher-keys.sh "$pack/publisher-keys.sh"
mkdir "$pack/keys"
cp keys/publisher.keys "$pack/keys/publisher.keys"
# The file that ships, signed or not, must still be the loader the tests took apart (Debian's
# python3, for its pefile).
/usr/bin/python3 tests/resources/check_resources.py "$pack/Velmora.exe" "$(cut -d. -f1-4 <<<"$version.0.0.0")"
# The licence notices of what the programs link in, from the Debian packages it comes from.
scripts/notices.sh build/release build/release-feed >"$pack/THIRD-PARTY-NOTICES.txt"
# Each SHA256SUMS lists exactly what stands beside it: `sha256sum -c SHA256SUMS` needs no options.
(cd "$pack" && find . -type f ! -path ./SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
   xargs -d '\n' sha256sum >SHA256SUMS)

# A deterministic archive: sorted entries, one time, fixed modes, no owner or extra time fields,
# and the time zone fixed, as zip stores local times.
find "$pack" -exec touch -h -d "@$epoch" {} +
find "$pack" -type f -exec chmod 644 {} +
chmod 755 "$pack/Velmora.exe" "$pack/velmora-update.exe" "$pack/sign-update.sh" "$pack/publish-update.sh" \
  "$pack/publisher-keys.sh" "$pack/velmora-feed"
mkdir dist
(cd "$pack/.." && find "$name" -type f | LC_ALL=C sort >files &&
   TZ=UTC0 zip -X -D -q "$repo/dist/$name.zip" -@ <files)
(cd dist && sha256sum "$name.zip" >SHA256SUMS)

echo "release: dist/$name.zip of $commit, the loader and the updater $signed"
cat dist/SHA256SUMS "$pack/SHA256SUMS"
