#!/usr/bin/env bash
# Publishes a signed release into a static tree that any web server can serve, and signs the
# channel's feeds that name it (docs/updater.md).
#   publish-update.sh [--channel NAME] [--expires DAYS] [--version VERSION] [--notes URL] [--without-first-feed] RELEASE_DIR TREE_DIR
#   publish-update.sh --refresh [--channel NAME] [--expires DAYS] [--without-first-feed] TREE_DIR
#   publish-update.sh --signature FILE [--signature FILE] [--channel NAME] TREE_DIR
# RELEASE_DIR is the update as scripts/sign-update.sh signed it (SHA256SUMS and SHA256SUMS.p7 beside
# Velmora.exe and app/, app/velmora.release naming its product and platform). The tree gets
# objects/<sha256> for each file not there yet (never changed once written), releases/<id>/ (the
# two manifest files and SIZES), <channel>.feed2, the feed updaters read, and <channel>.feed, the
# same for updaters before the second feed (not with --without-first-feed). velmora-feed writes
# both and checks them signed as installations check them; they are signed with VELMORA_SIGN_PFX,
# VELMORA_SIGN_PASSWORD_FILE (and verified against VELMORA_SIGN_CAFILE or the system's roots) as
# sign-update.sh signs. Without them they are written as <channel>.feed2.unsigned and
# <channel>.feed.unsigned with the commands to sign them, and --signature takes the signatures back.
# --refresh signs the channel's feeds again, naming the same release, issued now. A feed lives
# DAYS (30; at most 90, as installations take it). Upload the new objects and the release folder
# first, then the feeds. velmora-feed is $VELMORA_FEED_TOOL, else the one beside this script, else
# build/linux/velmora-feed of the source tree this script is in.
set -euo pipefail
export LC_ALL=C
die() { echo "publish-update: $*" >&2; exit 1; }
usage() { sed -n '3,6s/^# *//p' "$0" >&2; exit 64; }

channel=stable expires=30 version= notes= refresh= first=1 signatures=()
while [ $# -gt 0 ]; do
  case $1 in
    --channel) channel=${2:?}; shift 2 ;;
    --expires) expires=${2:?}; shift 2 ;;
    --version) version=${2:?}; shift 2 ;;
    --notes) notes=${2:?}; shift 2 ;;
    --refresh) refresh=1; shift ;;
    --without-first-feed) first=; shift ;;
    --signature) signatures+=("$(realpath "${2:?}")"); shift 2 ;;
    -*) usage ;;
    *) break ;;
  esac
done
[[ $channel =~ ^[a-z0-9][a-z0-9._-]{0,63}$ ]] || die "a channel is 1 to 64 of a-z, 0-9, '.', '_', '-'"
[[ $expires =~ ^[1-9][0-9]?$ ]] && [ "$expires" -le 90 ] ||
  die "--expires takes 1 to 90 days: installations refuse a feed that lives longer"
[ -z "$notes" ] || [[ $notes =~ ^https?://[!-~]+$ ]] || die "--notes takes an http(s) URL"
[ -z "$version" ] || [[ $version =~ ^(0|[1-9][0-9]{0,4})(\.(0|[1-9][0-9]{0,4})){0,3}$ ]] || die "a version is 1 to 4 numbers"
# Each part is one of a version record's four 16-bit numbers.
for part in ${version//./ }; do
  [ "$part" -le 65535 ] || die "a version's numbers go up to 65535"
done
if [ -n "$refresh" ] || [ ${#signatures[@]} -gt 0 ]; then
  [ $# -eq 1 ] || usage
  release_dir=
else
  [ $# -eq 2 ] || usage
  release_dir=$(realpath "$1")
  [ -d "$release_dir" ] || die "$1 is not a folder"
  shift
fi
# The feeds are written and checked by the updater's own code.
tool=${VELMORA_FEED_TOOL:-}
if [ -z "$tool" ]; then
  here=$(dirname "$(realpath "$0")")
  for candidate in "$here/velmora-feed" "$here/../build/linux/velmora-feed"; do
    [ -x "$candidate" ] && { tool=$candidate; break; }
  done
fi
[ -n "$tool" ] && [ -x "$tool" ] || die "no velmora-feed (VELMORA_FEED_TOOL, beside this script, build/linux): build it with
  cmake --preset linux && cmake --build --preset linux --target velmora-feed"
mkdir -p "$1"
tree=$(realpath "$1")
feed=$tree/$channel.feed feed2=$tree/$channel.feed2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "${VELMORA_SIGN_PFX:-}${VELMORA_SIGN_PASSWORD_FILE:-}" ]; then
  [ -r "${VELMORA_SIGN_PFX:-}" ] && [ -r "${VELMORA_SIGN_PASSWORD_FILE:-}" ] ||
    die "set both VELMORA_SIGN_PFX and VELMORA_SIGN_PASSWORD_FILE to readable files, or neither"
  VELMORA_SIGN_PFX=$(realpath "$VELMORA_SIGN_PFX") VELMORA_SIGN_PASSWORD_FILE=$(realpath "$VELMORA_SIGN_PASSWORD_FILE")
fi
roots=() against="the system's roots" anchor=()
if [ -n "${VELMORA_SIGN_CAFILE:-}" ]; then
  roots=(-CAfile "$(realpath "$VELMORA_SIGN_CAFILE")") against=$VELMORA_SIGN_CAFILE
  anchor=(--cafile "$(realpath "$VELMORA_SIGN_CAFILE")")
fi

sha() { sha256sum "$1" | cut -c1-64; }
# The content of a signed feed, its signature verified as far as it goes without a chain.
content_of() { openssl cms -verify -noverify -binary -inform DER -in "$1" -out "$2" -purpose any 2>/dev/null; }

# The texts of the feeds, written by velmora-feed from the tree (its release folder and feeds).
write_feeds() {  # velmora-feed's write options
  local outputs=(--second "$work/feed2")
  [ -z "$first" ] || outputs+=(--first "$work/feed")
  "$tool" write "$tree" --channel "$channel" --expires "$expires" "$@" "${outputs[@]}" >"$work/log" 2>&1 ||
    { cat "$work/log" >&2; die "no feed written"; }
}

# Signs the feeds written into the tree's, or leaves them unsigned with the commands to sign them.
sign_feeds() {
  local names=("$channel.feed2") name
  [ -z "$first" ] || names+=("$channel.feed")
  if [ -z "${VELMORA_SIGN_PFX:-}" ]; then
    rm -f "$feed.unsigned"
    cp "$work/feed2" "$feed2.unsigned"
    [ -z "$first" ] || cp "$work/feed" "$feed.unsigned"
    echo "publish-update: wrote ${names[*]/%/.unsigned} in $tree, NOT signed. Sign each as one file with its"
    echo "signature inside (attached PKCS#7, SHA-256, signed attributes), with the certificate the loader is signed with:"
    for name in "${names[@]}"; do
      echo "  signtool sign /fd sha256 /sha1 <thumbprint> /p7 <folder> /p7ce Embedded /p7co 1.2.840.113549.1.7.1 $name.unsigned"
      echo "  openssl cms -sign -nodetach -binary -md sha256 -in $name.unsigned -signer publisher.pem \\"
      echo "    -certfile chain.pem -engine pkcs11 -keyform engine -inkey \"pkcs11:...\" -outform DER -out $name.p7"
    done
    echo "then give the signatures back:"
    echo "  $0 --signature $channel.feed2.p7${first:+ --signature $channel.feed.p7} --channel $channel $tree"
    return
  fi
  local providers=()
  openssl pkcs12 -in "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" -noout >/dev/null 2>&1 ||
    providers=(-provider legacy -provider default)
  openssl pkcs12 "${providers[@]}" -in "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" -clcerts -nokeys \
    -out "$work/signer.pem" 2>/dev/null || die "cannot open $VELMORA_SIGN_PFX with the password given"
  openssl pkcs12 "${providers[@]}" -in "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" -cacerts -nokeys \
    -out "$work/chain.pem" 2>/dev/null
  local chain=() file
  ! grep -q 'BEGIN CERTIFICATE' "$work/chain.pem" || chain=(-certfile "$work/chain.pem")
  for file in feed2 ${first:+feed}; do
    openssl cms -sign -nodetach -binary -md sha256 -in "$work/$file" -signer "$work/signer.pem" "${providers[@]}" \
      -inkey "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" "${chain[@]}" -outform DER \
      -out "$work/$file.p7" 2>"$work/log" || { cat "$work/log" >&2; die "could not sign the feed"; }
  done
  take_signatures "$work/feed2.p7" "$work/feed2" ${first:+"$work/feed.p7" "$work/feed"}
}

# Installs the signed feeds as the tree's once each verifies, holds exactly the text written and is
# what installations (and updaters before the second feed) take after the tree's own.
take_signatures() {  # SIGNED2 TEXT2 [SIGNED1 TEXT1]
  local signed
  for signed in "$1" ${3:+"$3"}; do
    [ "$(stat -c %s "$signed")" -le 65536 ] || die "a signed feed is larger than 64 KiB; nothing written"
    openssl cms -verify -binary -inform DER -in "$signed" -purpose any "${roots[@]}" -out /dev/null >"$work/log" 2>&1 ||
      { cat "$work/log" >&2; die "a signed feed does not verify against $against; nothing written"; }
  done
  local checked=(--second "$1" --second-text "$2")
  [ -z "${3:-}" ] || checked+=(--first "$3" --first-text "$4")
  "$tool" verify "$tree" --channel "$channel" "${anchor[@]}" "${checked[@]}" >"$work/verified" 2>&1 ||
    { cat "$work/verified" >&2; die "nothing written"; }
  cp "$1" "$feed2.new"
  [ -z "${3:-}" ] || cp "$3" "$feed.new"
  mv -f "$feed2.new" "$feed2"
  [ -z "${3:-}" ] || mv -f "$feed.new" "$feed"
  rm -f "$feed.unsigned" "$feed2.unsigned"
  echo "publish-update: $feed2${3:+ and $feed} signed and $(sed 's/^velmora-feed: //' "$work/verified")"
}

if [ ${#signatures[@]} -gt 0 ]; then
  [ -f "$feed2.unsigned" ] || die "no $feed2.unsigned waits for its signature"
  signed2= signed1=
  for signed in "${signatures[@]}"; do
    content_of "$signed" "$work/content" || die "$signed is no signed feed"
    if cmp -s "$work/content" "$feed2.unsigned"; then signed2=$signed
    elif [ -f "$feed.unsigned" ] && cmp -s "$work/content" "$feed.unsigned"; then signed1=$signed
    else die "$signed holds neither $feed2.unsigned nor $feed.unsigned; nothing written"
    fi
  done
  [ -n "$signed2" ] || die "no signature of $feed2.unsigned given"
  [ ! -f "$feed.unsigned" ] || [ -n "$signed1" ] || die "no signature of $feed.unsigned given (a second --signature)"
  take_signatures "$signed2" "$feed2.unsigned" ${signed1:+"$signed1" "$feed.unsigned"}
  exit 0
fi

if [ -n "$refresh" ]; then
  write_feeds --refresh
  sign_feeds
  exit 0
fi

# A release folder as the loader takes it: every file listed, each with its hash, nothing else.
cd "$release_dir"
[ -f SHA256SUMS ] && [ -f SHA256SUMS.p7 ] || die "$release_dir has no SHA256SUMS and SHA256SUMS.p7: sign it with sign-update.sh"
sha256sum --quiet --strict -c SHA256SUMS >"$work/log" 2>&1 || { head -n 5 "$work/log" >&2; die "a file does not match SHA256SUMS"; }
find . -type f ! -path ./SHA256SUMS ! -path ./SHA256SUMS.p7 | sed 's|^\./||' | sort >"$work/files"
sed 's/^[0-9a-f]*  //' SHA256SUMS | sort | cmp -s - "$work/files" || die "$release_dir holds files SHA256SUMS does not list"
grep -qx '[0-9a-f]\{64\}  app/velmora.release' SHA256SUMS ||
  die "$release_dir names no product (no app/velmora.release): installations refuse it; sign it again with sign-update.sh"
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
write_feeds --release "$release" --version "$version" ${notes:+--notes "$notes"}
sign_feeds
