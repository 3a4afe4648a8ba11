#!/usr/bin/env bash
# Publishes a signed release into a static tree that any web server can serve, and signs the
# channel's feed that names it (docs/updater.md).
#   publish-update.sh [--channel NAME] [--expires DAYS] [--version VERSION] [--notes URL] RELEASE_DIR TREE_DIR
#   publish-update.sh --refresh [--channel NAME] [--expires DAYS] TREE_DIR
#   publish-update.sh --signature FILE [--channel NAME] TREE_DIR
# RELEASE_DIR is the update as scripts/sign-update.sh signed it (SHA256SUMS and SHA256SUMS.p7 beside
# Velmora.exe and app/). The tree gets objects/<sha256> for each file not there yet (never changed
# once written), releases/<id>/ (the two manifest files and SIZES) and <channel>.feed, signed with
# VELMORA_SIGN_PFX, VELMORA_SIGN_PASSWORD_FILE (and verified against VELMORA_SIGN_CAFILE or the
# system's roots) as sign-update.sh signs. Without them the feed is written as
# <channel>.feed.unsigned with the commands to sign it, and --signature takes the signature back.
# --refresh signs the channel's feed again, naming the same release, with a new expiry and sequence.
# Upload the new objects and the release folder first, then the feed.
set -euo pipefail
export LC_ALL=C
die() { echo "publish-update: $*" >&2; exit 1; }
usage() { sed -n '3,5s/^# *//p' "$0" >&2; exit 64; }

channel=stable expires=30 version= notes= refresh= signature=
while [ $# -gt 0 ]; do
  case $1 in
    --channel) channel=${2:?}; shift 2 ;;
    --expires) expires=${2:?}; shift 2 ;;
    --version) version=${2:?}; shift 2 ;;
    --notes) notes=${2:?}; shift 2 ;;
    --refresh) refresh=1; shift ;;
    --signature) signature=$(realpath "${2:?}"); shift 2 ;;
    -*) usage ;;
    *) break ;;
  esac
done
[[ $channel =~ ^[a-z0-9][a-z0-9._-]{0,63}$ ]] || die "a channel is 1 to 64 of a-z, 0-9, '.', '_', '-'"
[[ $expires =~ ^[1-9][0-9]{0,3}$ ]] || die "--expires takes a number of days"
[ -z "$notes" ] || [[ $notes =~ ^https?://[!-~]+$ ]] || die "--notes takes an http(s) URL"
[ -z "$version" ] || [[ $version =~ ^(0|[1-9][0-9]{0,4})(\.(0|[1-9][0-9]{0,4})){0,3}$ ]] || die "a version is 1 to 4 numbers"
# Each part is one of a version record's four 16-bit numbers.
for part in ${version//./ }; do
  [ "$part" -le 65535 ] || die "a version's numbers go up to 65535"
done
if [ -n "$refresh$signature" ]; then
  [ $# -eq 1 ] || usage
  release_dir=
else
  [ $# -eq 2 ] || usage
  release_dir=$(realpath "$1")
  [ -d "$release_dir" ] || die "$1 is not a folder"
  shift
fi
mkdir -p "$1"
tree=$(realpath "$1")
feed=$tree/$channel.feed
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "${VELMORA_SIGN_PFX:-}${VELMORA_SIGN_PASSWORD_FILE:-}" ]; then
  [ -r "${VELMORA_SIGN_PFX:-}" ] && [ -r "${VELMORA_SIGN_PASSWORD_FILE:-}" ] ||
    die "set both VELMORA_SIGN_PFX and VELMORA_SIGN_PASSWORD_FILE to readable files, or neither"
  VELMORA_SIGN_PFX=$(realpath "$VELMORA_SIGN_PFX") VELMORA_SIGN_PASSWORD_FILE=$(realpath "$VELMORA_SIGN_PASSWORD_FILE")
fi
roots=() against="the system's roots"
[ -z "${VELMORA_SIGN_CAFILE:-}" ] || roots=(-CAfile "$(realpath "$VELMORA_SIGN_CAFILE")") against=$VELMORA_SIGN_CAFILE

sha() { sha256sum "$1" | cut -c1-64; }
size() { stat -c %s "$1"; }
# The content of a signed feed, its signature verified as far as it goes without a chain.
content_of() { openssl cms -verify -noverify -binary -inform DER -in "$1" -out "$2" -purpose any 2>/dev/null; }
field() { sed -n "s/^$1 //p" "$2"; }

# A feed's text: sequence above the tree's, issued now, expiring in $expires days.
write_feed() {  # VERSION RELEASE_ID MANIFEST_LINE SIGNATURE_LINE SIZES_LINE NOTES OUT
  local now previous=0 sequence
  now=$(date -u +%s)
  if [ -f "$feed" ] && content_of "$feed" "$work/previous"; then previous=$(field sequence "$work/previous"); fi
  sequence=$((now > previous ? now : previous + 1))
  {
    echo "velmora-feed 1"
    echo "channel $channel"
    echo "sequence $sequence"
    echo "issued $(date -u -d "@$now" +%Y-%m-%dT%H:%M:%SZ)"
    echo "expires $(date -u -d "@$((now + expires * 86400))" +%Y-%m-%dT%H:%M:%SZ)"
    echo "version $1"
    echo "release $2"
    echo "manifest $3"
    echo "signature $4"
    echo "sizes $5"
    [ -z "$6" ] || echo "notes $6"
  } >"$7"
}

# Signs FEED_TEXT into the tree's feed, or leaves it unsigned with the commands to sign it.
sign_feed() {  # FEED_TEXT
  if [ -z "${VELMORA_SIGN_PFX:-}" ]; then
    cp "$1" "$feed.unsigned"
    cat <<EOF
publish-update: wrote $feed.unsigned, NOT signed. Sign it as one file with its signature inside
(attached PKCS#7, SHA-256, signed attributes), with the certificate the loader is signed with:
  signtool sign /fd sha256 /sha1 <thumbprint> /p7 <folder> /p7ce Embedded /p7co 1.2.840.113549.1.7.1 $channel.feed.unsigned
  openssl cms -sign -nodetach -binary -md sha256 -in $channel.feed.unsigned -signer publisher.pem \\
    -certfile chain.pem -engine pkcs11 -keyform engine -inkey "pkcs11:..." -outform DER -out $channel.feed.p7
then give the signature back:
  $0 --signature <signed file> --channel $channel $tree
EOF
    return
  fi
  local providers=()
  openssl pkcs12 -in "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" -noout >/dev/null 2>&1 ||
    providers=(-provider legacy -provider default)
  openssl pkcs12 "${providers[@]}" -in "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" -clcerts -nokeys \
    -out "$work/signer.pem" 2>/dev/null || die "cannot open $VELMORA_SIGN_PFX with the password given"
  openssl pkcs12 "${providers[@]}" -in "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" -cacerts -nokeys \
    -out "$work/chain.pem" 2>/dev/null
  local chain=()
  ! grep -q 'BEGIN CERTIFICATE' "$work/chain.pem" || chain=(-certfile "$work/chain.pem")
  openssl cms -sign -nodetach -binary -md sha256 -in "$1" -signer "$work/signer.pem" "${providers[@]}" \
    -inkey "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" "${chain[@]}" -outform DER \
    -out "$work/signed.feed" 2>"$work/log" || { cat "$work/log" >&2; die "could not sign the feed"; }
  take_signature "$work/signed.feed" "$1"
}

# Installs SIGNED as the tree's feed once it verifies and holds exactly FEED_TEXT.
take_signature() {  # SIGNED FEED_TEXT
  [ "$(size "$1")" -le 65536 ] || die "the signed feed is larger than 64 KiB"
  openssl cms -verify -binary -inform DER -in "$1" -purpose any "${roots[@]}" -out "$work/verified" \
    >"$work/log" 2>&1 || { cat "$work/log" >&2; die "the signed feed does not verify against $against; nothing written"; }
  cmp -s "$work/verified" "$2" || die "the signed feed does not hold the feed written; nothing written"
  cp "$1" "$feed.new"
  mv -f "$feed.new" "$feed"
  rm -f "$feed.unsigned"
  echo "publish-update: $feed signed and verified: $(field release "$2") version $(field version "$2")," \
    "sequence $(field sequence "$2"), expires $(field expires "$2")"
}

if [ -n "$signature" ]; then
  [ -f "$feed.unsigned" ] || die "no $feed.unsigned waits for its signature"
  take_signature "$signature" "$feed.unsigned"
  exit 0
fi

if [ -n "$refresh" ]; then
  [ -f "$feed" ] || die "no $feed to refresh"
  content_of "$feed" "$work/current" || die "$feed is not a signed feed"
  line() { field "$1" "$work/current"; }
  write_feed "$(line version)" "$(line release)" "$(line manifest)" "$(line signature)" "$(line sizes)" \
    "$(line notes)" "$work/feed"
  sign_feed "$work/feed"
  exit 0
fi

# A release folder as the loader takes it: every file listed, each with its hash, nothing else.
cd "$release_dir"
[ -f SHA256SUMS ] && [ -f SHA256SUMS.p7 ] || die "$release_dir has no SHA256SUMS and SHA256SUMS.p7: sign it with sign-update.sh"
sha256sum --quiet --strict -c SHA256SUMS >"$work/log" 2>&1 || { head -n 5 "$work/log" >&2; die "a file does not match SHA256SUMS"; }
find . -type f ! -path ./SHA256SUMS ! -path ./SHA256SUMS.p7 | sed 's|^\./||' | sort >"$work/files"
sed 's/^[0-9a-f]*  //' SHA256SUMS | sort | cmp -s - "$work/files" || die "$release_dir holds files SHA256SUMS does not list"
release=$(sha256sum SHA256SUMS SHA256SUMS.p7 | sha256sum | cut -c1-64)

if [ -z "$version" ]; then
  # The application's file version, from its version record's fixed part.
  version=$(python3 - app/velmora.exe <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at >= 0 and at + 16 <= len(data):
    ms, ls = struct.unpack_from("<II", data, at + 8)
    print(f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
EOF
)
  [ -n "$version" ] || die "app/velmora.exe has no version record: name the release's version with --version"
fi

mkdir -p "$tree/objects" "$tree/releases"
# Each distinct object once, from the first file that holds it: what is in the tree already is
# checked against its name and never changed; what is new is copied beside its name, checked,
# then moved there. Writes SIZES; prints how many objects are new.
written=$(python3 - "$tree/objects" "$work/SIZES" <<'EOF'
import hashlib, os, sys
objects, sizes = sys.argv[1], sys.argv[2]
first = {}
for line in open("SHA256SUMS", "rb").read().decode().splitlines():
    first.setdefault(line[:64], line[66:])
def digest(path):
    hashed = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            hashed.update(block)
    return hashed.hexdigest()
# Every object already there first: a tree at fault gets nothing new.
new = []
for name, source in sorted(first.items()):
    target = os.path.join(objects, name)
    if not os.path.exists(target):
        new.append((name, source, target))
    elif digest(target) != name:
        sys.exit(f"publish-update: {target} is in the tree but does not match its name: fix the tree")
written = 0
for name, source, target in new:
    with open(source, "rb") as src, open(target + ".new", "wb") as dst:
        for block in iter(lambda: src.read(1 << 20), b""):
            dst.write(block)
    if digest(target + ".new") != name:
        sys.exit(f"publish-update: {target}.new does not match what was copied")
    os.replace(target + ".new", target)
    written += 1
with open(sizes, "w") as out:
    out.writelines(f"{name} {os.path.getsize(os.path.join(objects, name))}\n" for name in sorted(first))
print(written)
EOF
) || exit 1

folder=$tree/releases/$release
if [ -d "$folder" ]; then
  for file in SHA256SUMS SHA256SUMS.p7; do cmp -s "$file" "$folder/$file" || die "$folder/$file differs from $file"; done
  cmp -s "$work/SIZES" "$folder/SIZES" || die "$folder/SIZES differs from the objects'"
else
  mkdir "$folder.new"
  cp SHA256SUMS SHA256SUMS.p7 "$folder.new/"
  cp "$work/SIZES" "$folder.new/SIZES"
  mv "$folder.new" "$folder"
fi
echo "publish-update: release $release ($(wc -l <SHA256SUMS) files, $written new objects) in $tree"
pinned() { echo "$(sha "$folder/$1") $(size "$folder/$1")"; }
write_feed "$version" "$release" "$(pinned SHA256SUMS)" "$(pinned SHA256SUMS.p7)" "$(pinned SIZES)" "$notes" "$work/feed"
sign_feed "$work/feed"
