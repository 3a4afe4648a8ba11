#!/usr/bin/env bash
# Writes the manifest of a staged update, and signs it: what a signed installation needs before it
# takes the update (docs/staging.md).
#   sign-update.sh [--product NAME] [--platform NAME] DIR
# DIR: the update as it will be staged, Velmora.exe and app/ in it. First writes DIR/app/velmora.release,
# what the release is for (product velmora and platform windows-x64 unless told otherwise; a folder
# whose release file says otherwise is refused), so that the manifest lists and signs it like every file.
# Writes DIR/SHA256SUMS: one line per file below DIR, "<sha256>  <path>", paths relative to DIR with
# / between names, sorted bytewise. Given a certificate as scripts/sign.sh takes it, also writes
# DIR/SHA256SUMS.p7, its detached PKCS#7 signature (DER, with signed attributes), and verifies it:
# VELMORA_SIGN_PFX             the certificate, its chain and its key, a PKCS#12 file
# VELMORA_SIGN_PASSWORD_FILE   the file that holds its password
# VELMORA_SIGN_CAFILE          optional: the roots to verify against (default: the system's)
# Without one it writes the manifest only. A folder the loader would refuse (a link, anything but
# files and folders, a name Windows cannot hold or that is no UTF-8, a path no installation can hold,
# two names Windows takes for one) is refused, and nothing is written.
# Needs bash, coreutils, findutils, python3 and, to sign, openssl.
set -euo pipefail
export LC_ALL=C
die() { echo "sign-update: $*" >&2; exit 1; }
usage() { echo "usage: sign-update.sh [--product NAME] [--platform NAME] DIR" >&2; exit 64; }
product=velmora platform=windows-x64
while [ $# -gt 1 ]; do
  case $1 in
    --product) product=$2; shift 2 ;;
    --platform) platform=$2; shift 2 ;;
    *) usage ;;
  esac
done
[ $# -eq 1 ] || usage
for name in "$product" "$platform"; do
  [[ $name =~ ^[a-z0-9][a-z0-9._-]{0,63}$ ]] || die "a product or platform is 1 to 64 of a-z, 0-9, '.', '_', '-': $name"
done
dir=$1
[ -d "$dir" ] || die "$dir is not a folder"
if [ -n "${VELMORA_SIGN_PFX:-}${VELMORA_SIGN_PASSWORD_FILE:-}" ]; then
  [ -n "${VELMORA_SIGN_PFX:-}" ] && [ -n "${VELMORA_SIGN_PASSWORD_FILE:-}" ] ||
    die "set both VELMORA_SIGN_PFX and VELMORA_SIGN_PASSWORD_FILE to sign, or neither"
  [ -r "$VELMORA_SIGN_PFX" ] || die "cannot read VELMORA_SIGN_PFX=$VELMORA_SIGN_PFX"
  [ -r "$VELMORA_SIGN_PASSWORD_FILE" ] || die "cannot read VELMORA_SIGN_PASSWORD_FILE=$VELMORA_SIGN_PASSWORD_FILE"
  pfx=$(realpath "$VELMORA_SIGN_PFX") password=$(realpath "$VELMORA_SIGN_PASSWORD_FILE")
  cafile=${VELMORA_SIGN_CAFILE:+$(realpath "$VELMORA_SIGN_CAFILE")}
fi
# Nothing secret is written anywhere: openssl reads the key from the PKCS#12 file itself.
work=$(mktemp -d)
placed= finished=
# A release file this run placed goes again unless the manifest that lists it was written.
trap 'rm -rf "$work"; [ -z "$placed" ] || [ -n "$finished" ] || rm -f "$placed"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
cd "$dir"

for program in Velmora.exe app/velmora.exe; do
  [ -f "$program" ] && [ ! -L "$program" ] || die "$dir is no staged update: it has no file $program"
done
refuse() {  # WHY, then the offending paths on standard input
  local found
  found=$(head -n 5)
  [ -z "$found" ] || die "$1, so an installation would refuse this update; nothing written:"$'\n'"$found"
}
find . -type l | refuse "it holds a symbolic link"
find . ! -type f ! -type d | refuse "it holds something that is neither a file nor a folder"
for manifest in SHA256SUMS SHA256SUMS.p7; do
  [ ! -e "$manifest" ] || [ -f "$manifest" ] || die "$dir/$manifest is not a file"
done
# What the release is for, as installations read it (three lines, exactly).
printf 'velmora-release 1\nproduct %s\nplatform %s\n' "$product" "$platform" >"$work/velmora.release"
if [ -e app/velmora.release ] || [ -L app/velmora.release ]; then
  cmp -s app/velmora.release "$work/velmora.release" ||
    die "$dir/app/velmora.release is not the release file of $product for $platform, so this is another release; nothing written"
fi
# The loader's rule for the paths of a staging, exactly: every name one Windows can hold, no path
# below more than 64 folders (a folder counts itself), none that reaches 260 characters installed
# even at a drive's root; and no two names that Windows takes for one, compared as the loader
# compares them (CompareStringOrdinal ignoring case: each UTF-16 unit's simple upper case) or by
# Unicode's simple case folding.
find . -mindepth 1 \( -type d -printf 'd%P\0' \) -o \( -type f -printf 'f%P\0' \) >"$work/entries"
if ! fits=$(python3 - "$work/entries" <<'PYTHON'
import sys
entries = open(sys.argv[1], "rb").read().split(b"\0")[:-1]
devices = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"} | {p + d for p in ("COM", "LPT") for d in "123456789\u00b9\u00b2\u00b3"}
def fault(name):
    base = name.split(".")[0].rstrip(" ")
    return (any(c in '<>:"|?*\\' or ord(c) < 0x20 for c in name) or name[-1] in ". " or
            "".join(c.upper() if c.isascii() else c for c in base) in devices)
def units(text):
    return sum(2 if ord(c) >= 0x10000 else 1 for c in text)
def upper(c):  # Windows' ordinal case: one UTF-16 unit to one
    u = c.upper()
    return u if len(u) == 1 and ord(c) < 0x10000 else c
def fold(c):  # simple case folding: the full folding where it is one character, else the lower case
    f = c.casefold()
    if len(f) == 1:
        return f
    l = c.lower()
    return l if len(l) == 1 else c
found = {"no UTF-8": [], "name": [], "deep": [], "long": [], "case": []}
seen = {}
for entry in entries + [b"fSHA256SUMS", b"fSHA256SUMS.p7", b"fapp/velmora.release"]:
    try:
        path = entry[1:].decode("utf-8")
    except UnicodeDecodeError:
        found["no UTF-8"].append(entry[1:].decode("utf-8", "backslashreplace"))
        continue
    names = path.split("/")
    if any(fault(name) for name in names):
        found["name"].append(path)
    elif len(names) - 1 + (entry[:1] == b"d") > 64:
        found["deep"].append(path)
    elif 3 + units(path) > 259:
        found["long"].append(path)
    for key in ("".join(map(upper, path)), "".join(map(fold, path))):
        if seen.setdefault(key, path) != path:
            found["case"].append(seen[key] + " and " + path)
reasons = {"no UTF-8": "a name is not UTF-8, which the manifest is",
           "name": "a name Windows cannot hold (<>:\"|?*\\ or a control character in it, a dot or a blank at its end, "
                   "or a device name such as CON, AUX or NUL.txt)",
           "deep": "a path below more than 64 folders",
           "long": "a path that reaches 260 characters installed, even at a drive's root",
           "case": "two names Windows takes for one (letter case aside)"}
for kind, paths in found.items():
    if paths:
        print(reasons[kind])
        print("\n".join(sorted(set(paths))[:5]))
        sys.exit(1)
# The longest path decides the longest install directory that can take the update.
print(258 - max([units(entry[1:].decode("utf-8")) for entry in entries] + [units("app/velmora.release")]))
PYTHON
); then
  die "${fits%%$'\n'*}, so an installation would refuse this update; nothing written:"$'\n'"${fits#*$'\n'}"
fi
fits="an install directory of up to $fits characters can take it (Windows)"
if [ ! -e app/velmora.release ]; then
  cp "$work/velmora.release" app/velmora.release
  placed=$PWD/app/velmora.release
fi

find . -type f ! -path ./SHA256SUMS ! -path ./SHA256SUMS.p7 | sed 's|^\./||' | sort >"$work/files"
xargs -r -d '\n' sha256sum -- <"$work/files" >"$work/SHA256SUMS" || die "cannot read every file of $dir"
count=$(wc -l <"$work/files")

if [ -z "${pfx:-}" ]; then
  rm -f SHA256SUMS.p7
  cp "$work/SHA256SUMS" SHA256SUMS
  finished=1
  cat <<EOF
sign-update: wrote $dir/SHA256SUMS ($count files; $fits),
NOT signed: a signed installation refuses this update until SHA256SUMS.p7 stands beside it. Sign
it with the certificate the loader is signed with:
  VELMORA_SIGN_PFX=vendor.pfx VELMORA_SIGN_PASSWORD_FILE=vendor.pass $0 $dir
or, with the key in a token or a signing service, as docs/staging.md shows (signtool sign /p7).
EOF
  exit 0
fi

run() { "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; die "failed: $1 $2"; }; }
# Older PKCS#12 files (what Windows exported for years) are encrypted with RC2, which OpenSSL 3
# reads only with its legacy provider.
providers=()
if ! openssl pkcs12 -in "$pfx" -passin "file:$password" -noout >/dev/null 2>&1; then
  providers=(-provider legacy -provider default)
  openssl pkcs12 "${providers[@]}" -in "$pfx" -passin "file:$password" -noout >/dev/null 2>&1 ||
    die "cannot open $VELMORA_SIGN_PFX with the password in $VELMORA_SIGN_PASSWORD_FILE"
fi
run openssl pkcs12 "${providers[@]}" -in "$pfx" -passin "file:$password" -clcerts -nokeys -out "$work/signer.pem"
run openssl pkcs12 "${providers[@]}" -in "$pfx" -passin "file:$password" -cacerts -nokeys -out "$work/chain.pem"
grep -q 'BEGIN CERTIFICATE' "$work/signer.pem" || die "$VELMORA_SIGN_PFX holds no certificate for its key"
# Windows takes a signer only for code signing; a certificate without the extension is for any use.
usage=$(openssl x509 -in "$work/signer.pem" -noout -ext extendedKeyUsage 2>/dev/null || true)
[ -z "$usage" ] || grep -q 'Code Signing' <<<"$usage" ||
  die "the certificate in $VELMORA_SIGN_PFX is not for code signing, so installations would refuse it"
chain=()
! grep -q 'BEGIN CERTIFICATE' "$work/chain.pem" || chain=(-certfile "$work/chain.pem")

run openssl cms -sign -binary -md sha256 -in "$work/SHA256SUMS" -signer "$work/signer.pem" \
  "${providers[@]}" -inkey "$pfx" -passin "file:$password" "${chain[@]}" -outform DER -out "$work/SHA256SUMS.p7"
roots=() against="the system's roots"
[ -z "$cafile" ] || roots=(-CAfile "$cafile") against=$cafile
openssl cms -verify -binary -inform DER -in "$work/SHA256SUMS.p7" -content "$work/SHA256SUMS" -purpose any \
  "${roots[@]}" -signer "$work/verified.pem" -out /dev/null >"$work/log" 2>&1 ||
  { cat "$work/log" >&2; die "the signature does not verify against $against; nothing written"; }
signer=$(openssl x509 -in "$work/verified.pem" -noout -subject -nameopt utf8,sep_comma_plus)

rm -f SHA256SUMS.p7
cp "$work/SHA256SUMS" SHA256SUMS
cp "$work/SHA256SUMS.p7" SHA256SUMS.p7
finished=1
echo "sign-update: wrote $dir/SHA256SUMS ($count files; $fits) and SHA256SUMS.p7, verified: ${signer#subject=}"
