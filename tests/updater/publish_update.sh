#!/usr/bin/env bash
# scripts/publish-update.sh over releases signed by scripts/sign-update.sh with throw-away
# certificates, checked as anyone can check a tree (sha256sum, openssl): the tree's objects,
# release folder and both feeds; a second publish, --refresh, another channel, feeds signed
# elsewhere and given back with --signature; releases, trees and feeds it must refuse, with nothing
# written; velmora-feed's verify refusing what installations refuse.
#   publish_update.sh [VELMORA_FEED]       (default: build/linux/velmora-feed)
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
export VELMORA_FEED_TOOL=${1:-$repo/build/linux/velmora-feed}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Velmora Test Root" -addext basicConstraints=critical,CA:true \
  -keyout root.key -out root.pem 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nbasicConstraints=CA:false\n' >leaf.ext
# The publisher's committed throw-away key, which the tests' builds pin.
cp "$repo/tests/keys/publisher.pem" a.key
openssl req -new -key a.key -subj "/CN=Velmora Test Publisher" -out a.csr 2>/dev/null
openssl x509 -req -in a.csr -CA root.pem -CAkey root.key -days 2 -set_serial 9 -extfile leaf.ext -out a.pem 2>/dev/null
printf pass >pass
openssl pkcs12 -export -inkey a.key -in a.pem -certfile root.pem -passout file:pass -out a.pfx
export VELMORA_SIGN_PFX=$work/a.pfx VELMORA_SIGN_PASSWORD_FILE=$work/pass VELMORA_SIGN_CAFILE=$work/root.pem
failures=0
check() {  # ROW, then a command that must succeed
  local row=$1
  shift
  if "$@"; then echo "ok    $row"; else echo "FAIL  $row" >&2; failures=$((failures + 1)); fi
}
release() {  # DIR TAG: a signed release of a loader, an application and two equal files
  rm -rf "$1"
  mkdir -p "$1/app/lib"
  echo loader >"$1/Velmora.exe"
  echo "app $2" >"$1/app/velmora.exe"
  echo same >"$1/app/lib/a.dat"
  echo same >"$1/app/lib/b.dat"
  bash "$repo/scripts/sign-update.sh" "$1" >/dev/null
}
sign() { openssl cms -sign -nodetach -binary -md sha256 -in "$1" -signer a.pem -inkey a.key -certfile root.pem \
  -outform DER -out "$2"; }
publish() { bash "$repo/scripts/publish-update.sh" "$@" >out 2>&1; }
content() { openssl cms -verify -binary -inform DER -in "$1" -CAfile root.pem -purpose any -out - 2>/dev/null; }
field() { content tree/${2:-stable}.feed | sed -n "s/^$1 //p"; }
# A value of the second feed: a path of keys into its JSON.
value() { content tree/${2:-stable}.feed2 | python3 -c 'import json, sys; v = json.load(sys.stdin)
for key in sys.argv[1].split("."): v = v[key]
print(v)' "$1"; }
tree_listing() { (cd tree && find . -type f -printf '%p %s\n' | sort | sha256sum); }

release r1 v1
publish --version 1.0 --notes https://example.invalid/1 r1 tree
id=$(cd r1 && sha256sum SHA256SUMS SHA256SUMS.p7 | sha256sum | cut -c1-64)
check "the release folder is named by its id" test -f "tree/releases/$id/SHA256SUMS.p7"
check "the manifest files unchanged" cmp -s r1/SHA256SUMS "tree/releases/$id/SHA256SUMS"
check "each distinct object once, named by its digest" test "$(ls tree/objects | wc -l)" -eq 4
check "every object matches its name" bash -c 'cd tree/objects && for f in *; do echo "$f  $f"; done | sha256sum --quiet -c'
check "SIZES: each object's size, sorted" cmp -s "tree/releases/$id/SIZES" \
  <(cd tree/objects && for f in $(cut -c1-64 "$work/r1/SHA256SUMS" | sort -u); do echo "$f $(stat -c %s "$f")"; done)
check "the feed verifies and names the release" test "$(field release)" == "$id"
check "the second feed names the same, for what the release file says" test \
  "$(value release.id) $(value product) $(value platform) $(value issued)" == "$id velmora windows-x64 $(field issued)"
check "the feed pins SIZES" test "$(field sizes)" == "$(sha256sum "tree/releases/$id/SIZES" | cut -c1-64) $(stat -c %s "tree/releases/$id/SIZES")"
check "the feed's version and notes" test "$(field version) $(field notes) $(value release.notes)" == \
  "1.0 https://example.invalid/1 https://example.invalid/1"
first=$(field sequence)
publish --version 1.0 r1 tree
check "published again: nothing new, a higher sequence" test "$(field sequence)" -gt "$first" -a "$(grep -c '0 new objects' out)" -eq 1
publish --refresh --expires 90 tree
check "refreshed: the same release, a later expiry" test "$(field release) $(value release.id)" == "$id $id" -a \
  "$(date -u -d "$(value expires)" +%s)" -gt $(($(date -u +%s) + 89 * 86400))
release r2 v2
publish --channel beta --version 2.0 r2 tree
check "another channel: its own feed, objects shared" test "$(value release.id beta)" != "$id" -a "$(ls tree/objects | wc -l)" -eq 5

# A key elsewhere: the feeds left unsigned, signed apart, given back.
(unset VELMORA_SIGN_PFX VELMORA_SIGN_PASSWORD_FILE && bash "$repo/scripts/publish-update.sh" --refresh tree >out 2>&1)
check "without a key: both feeds written unsigned, the commands named" grep -q 'feed2.unsigned.*feed.unsigned' out
check "without a key: the signed feeds as they were" test "$(field release) $(value release.id)" == "$id $id"
sign tree/stable.feed2.unsigned feed2.p7
sign tree/stable.feed.unsigned feed.p7
printf 'x' >>tree/stable.feed2.unsigned
check "a signature of other content refused" bash -c "! bash '$repo/scripts/publish-update.sh' --signature feed2.p7 --signature feed.p7 tree >/dev/null 2>&1"
head -c -1 tree/stable.feed2.unsigned >unsigned && mv unsigned tree/stable.feed2.unsigned
check "one signature of two refused" bash -c "! bash '$repo/scripts/publish-update.sh' --signature feed2.p7 tree >/dev/null 2>&1"
publish --signature feed.p7 --signature feed2.p7 tree
check "the signatures taken back" test ! -e tree/stable.feed2.unsigned -a ! -e tree/stable.feed.unsigned -a "$(field release)" == "$id"

# velmora-feed verify refuses what installations refuse: each feed signed by the publisher and
# given as the tree's next, refused with its reason.
live=$(content tree/stable.feed2)
json() { python3 -c 'import json, sys; v = json.loads(sys.argv[1]); exec(sys.argv[2]); print(json.dumps(v))' "$live" "$1"; }
while IFS='|' read -r row change reason; do
  json "$change" >feed.json && sign feed.json next.p7
  check "verify refuses $row" bash -c "! '$VELMORA_FEED_TOOL' verify tree --second next.p7 >out 2>&1 && grep -q '$reason' out"
done <<'ROWS'
another product's feed|v["product"] = "velmora-pro"|signed for another product: velmora-pro
another platform's|v["platform"] = "linux-x86_64"|signed for another platform
a feed issued far ahead of the clock|v["expires"] = "2099-01-01T00:00:00Z"; v["issued"] = "2098-12-01T00:00:00Z"|later than this machine
a life past 90 days|import time; v["expires"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 91 * 86400))|longer than 90 days
a feed older than the tree's|import datetime as d; f = "%Y-%m-%dT%H:%M:%SZ"; v["issued"] = (d.datetime.strptime(v["issued"], f) - d.timedelta(minutes=1)).strftime(f)|older than one taken before
another feed at the tree's time|v["release"]["notes"] = "https://example.invalid/other"|two feeds signed for one time
a feed for a later updater|v["requires"] = 2|requires a later updater
ROWS
echo "$live" >feed.json && sign feed.json next.p7
python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); open(sys.argv[1], "wb").write(d.replace(b"\"stable\"", b"\"stabla\""))' next.p7
check "verify refuses a feed changed after signing" bash -c \
  "! '$VELMORA_FEED_TOOL' verify tree --second next.p7 >out 2>&1 && grep -q 'changed after signing' out"
# A release folder in the tree whose manifest is not the one its name says: no feed names it.
cp "tree/releases/$id/SHA256SUMS" manifest.kept && echo >>"tree/releases/$id/SHA256SUMS"
check "a release folder altered in the tree: no feed written" bash -c \
  "! '$VELMORA_FEED_TOOL' write tree --refresh --second out.feed2 >out 2>&1 && grep -q 'is not the release $id' out && test ! -e out.feed2"
mv manifest.kept "tree/releases/$id/SHA256SUMS"
# A first feed whose sequence no number can follow, as today's script once signed: refused, the
# tree as it was, no feed "signed and verified".
content tree/stable.feed | sed 's/^sequence .*/sequence 9223372036854775807/' >huge && sign huge tree/stable.feed
before=$(tree_listing)
check "refresh after the largest sequence: refused" bash -c "! bash '$repo/scripts/publish-update.sh' --refresh tree >out 2>&1"
check "refresh after the largest sequence: says why, signs nothing" grep -q 'the largest updaters before the second feed read' out
check "refresh after the largest sequence: the tree unchanged" test "$(tree_listing)" == "$before"
publish --refresh --without-first-feed tree
check "without the first feed: the second alone refreshed" test "$(field sequence)" == 9223372036854775807 -a \
  "$(value issued)" != "$(field issued)"
rm tree/stable.feed
start=$(date -u +%s)
publish --refresh tree
check "the first feed removed: begun anew at the clock's sequence" test "$(field sequence)" -ge "$start" -a \
  "$(field sequence)" -le "$(date -u +%s)"

# Refused, the tree unchanged.
before=$(tree_listing)
refused() {  # ROW DIR [OPTION...]
  local row=$1 dir=$2
  shift 2
  check "refused, $row" bash -c "! bash '$repo/scripts/publish-update.sh' $* '$dir' tree >/dev/null 2>&1"
  check "refused, $row: the tree unchanged" test "$(tree_listing)" == "$before"
}
release bad v3 && echo x >bad/app/extra.dat
refused "a file the manifest does not list" bad --version 3.0
release bad v3 && echo changed >bad/app/lib/a.dat
refused "a file changed after signing" bad --version 3.0
release bad v3 && rm bad/SHA256SUMS.p7
refused "a release not signed" bad --version 3.0
release bad v3
refused "no version record and no --version" bad
refused "a version number past 65535, which no version record holds" bad --version 2.70000
refused "a life past 90 days" bad --version 3.0 --expires 91
release bad v3 && rm bad/app/velmora.release && bash "$repo/scripts/sign-update.sh" bad >/dev/null && rm bad/app/velmora.release &&
  sed -i '/app\/velmora.release/d' bad/SHA256SUMS
refused "a release that names no product" bad --version 3.0
release bad v3
check "sign-update: a release file naming another product refused" bash -c \
  "! bash '$repo/scripts/sign-update.sh' --product velmora-pro bad >out 2>&1 && grep -q 'not the release file of velmora-pro' out"
check "sign-update: nothing written for it" test "$(cat bad/app/velmora.release)" == $'velmora-release 1\nproduct velmora\nplatform windows-x64'
release bad v3 && echo tampered >"tree/objects/$(sha256sum r1/app/lib/a.dat | cut -c1-64)"
before=$(tree_listing)
refused "an object in the tree that does not match its name" bad --version 3.0
[ "$failures" -eq 0 ] || { echo "$failures failed" >&2; exit 1; }
