#!/usr/bin/env bash
# Rotates the publisher's keys that installations pin (docs/updater.md): writes the next key record
# into a release tree, signed by a key of the current one, for the updater to take.
#   publisher-keys.sh [--keys FILE] add CERTIFICATE_OR_KEY TREE_DIR
#   publisher-keys.sh [--keys FILE] retire CERTIFICATE_OR_KEY TREE_DIR
# The current record is the one built in (FILE, default keys/publisher.keys of this release archive
# or checkout), then each of TREE_DIR/keys/<version>.keys that follows it, each checked as the
# updater checks it. The next one, TREE_DIR/keys/<version + 1>.keys, names the current keys with the
# given one added or retired: a certificate (PEM or DER), a public key or an unencrypted key (PEM),
# or a key's name (64 hex digits: the SHA-256 of its DER SubjectPublicKeyInfo). It is signed with
# VELMORA_SIGN_PFX and VELMORA_SIGN_PASSWORD_FILE, whose key must be one of the current record's. A
# record with no key, or more than 16, is refused. Upload it before any feed signed by a key it adds.
# Needs bash, coreutils and openssl.
set -euo pipefail
export LC_ALL=C
die() { echo "publisher-keys: $*" >&2; exit 1; }
usage() { sed -n '4,5s/^# *//p' "$0" >&2; exit 64; }

# Beside this script in a release archive, one folder up in a checkout.
keys=$(dirname "$0")/keys/publisher.keys
[ -f "$keys" ] || keys=$(dirname "$0")/../keys/publisher.keys
if [ "${1:-}" == --keys ]; then
  keys=${2:?}
  shift 2
fi
[ $# -eq 3 ] || usage
command=$1 subject=$2 tree=$3
[ "$command" == add ] || [ "$command" == retire ] || usage
[ -f "$keys" ] || die "no record of the keys built in at $keys: name it with --keys FILE"
[ -d "$tree" ] || die "$tree is not a folder"
[ -r "${VELMORA_SIGN_PFX:-}" ] && [ -r "${VELMORA_SIGN_PASSWORD_FILE:-}" ] ||
  die "set VELMORA_SIGN_PFX and VELMORA_SIGN_PASSWORD_FILE to the certificate of a key of the current record"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A key's name from a certificate, a public key or the name itself.
key_of() {  # CERTIFICATE_OR_KEY
  if [[ $1 =~ ^[0-9a-f]{64}$ ]]; then
    echo "$1"
  elif openssl x509 -in "$1" -pubkey -noout >"$work/public.pem" 2>/dev/null ||
       openssl x509 -inform DER -in "$1" -pubkey -noout >"$work/public.pem" 2>/dev/null ||
       openssl pkey -pubin -in "$1" -out "$work/public.pem" 2>/dev/null ||
       openssl pkey -in "$1" -pubout -out "$work/public.pem" -passin pass: 2>/dev/null; then
    openssl pkey -pubin -in "$work/public.pem" -outform DER | sha256sum | cut -c1-64
  else
    die "$1 is no certificate, public key or key name (64 hex digits)"
  fi
}

# Reads the record in FILE into product, version and the array record_keys, or fails.
read_record() {  # FILE
  local line n=0
  product= version= record_keys=()
  while IFS= read -r line; do
    case $n in
      0) [ "$line" == "velmora-keys 1" ] || return 1 ;;
      1) [[ $line =~ ^product\ ([a-z0-9._-]{1,64})$ ]] || return 1; product=${BASH_REMATCH[1]} ;;
      2) [[ $line =~ ^version\ ([1-9][0-9]{0,9})$ ]] && [ "${BASH_REMATCH[1]}" -le 2147483648 ] || return 1
         version=${BASH_REMATCH[1]} ;;
      *) [[ $line =~ ^key\ ([0-9a-f]{64})$ ]] || return 1
         [[ " ${record_keys[*]} " != *" ${BASH_REMATCH[1]} "* ]] || return 1
         record_keys+=("${BASH_REMATCH[1]}") ;;
    esac
    n=$((n + 1))
  done <"$1"
  [ "$n" -ge 3 ] && [ "${#record_keys[@]}" -le 16 ]
}
pinned() { [[ " ${record_keys[*]} " == *" $1 "* ]]; }

# The built-in record, its comments left out; then each signed record of the tree that follows.
grep -v '^#' "$keys" | grep -v '^$' >"$work/current" || true
read_record "$work/current" || die "$keys is no record of the form velmora-keys 1"
[ "${#record_keys[@]}" -gt 0 ] || die "$keys pins no key: a build of it takes nothing signed, and there is nothing to rotate"
while [ -f "$tree/keys/$((version + 1)).keys" ]; do
  next=$tree/keys/$((version + 1)).keys
  openssl cms -verify -noverify -binary -inform DER -in "$next" -purpose any -signer "$work/signer.pem" \
    -out "$work/next" 2>/dev/null || die "$next does not verify: fix the tree"
  pinned "$(key_of "$work/signer.pem")" || die "$next is not signed by a key of version $version: fix the tree"
  was=$product
  read_record "$work/next" && [ "$product" == "$was" ] && [ "$version" == "$(basename "$next" .keys)" ] ||
    die "$next is not the record of $was that follows the one before it: fix the tree"
  cp "$work/next" "$work/current"
done

key=$(key_of "$subject")
current_keys=("${record_keys[@]}")
if [ "$command" == add ]; then
  ! pinned "$key" || die "version $version pins $key already"
  record_keys+=("$key")
  [ "${#record_keys[@]}" -le 16 ] || die "a record pins 16 keys at most: retire one first"
else
  pinned "$key" || die "version $version does not pin $key"
  kept=()
  for each in "${record_keys[@]}"; do [ "$each" == "$key" ] || kept+=("$each"); done
  [ "${#kept[@]}" -gt 0 ] || die "retiring $key would leave no key: add its successor first"
  record_keys=("${kept[@]}")
fi

# The signer: its certificate, its chain, and a key the current record pins.
providers=()
openssl pkcs12 -in "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" -noout >/dev/null 2>&1 ||
  providers=(-provider legacy -provider default)
openssl pkcs12 "${providers[@]}" -in "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" -clcerts -nokeys \
  -out "$work/sign.pem" 2>/dev/null || die "cannot open $VELMORA_SIGN_PFX with the password given"
openssl pkcs12 "${providers[@]}" -in "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" -cacerts -nokeys \
  -out "$work/chain.pem" 2>/dev/null
grep -q 'BEGIN CERTIFICATE' "$work/sign.pem" || die "$VELMORA_SIGN_PFX holds no certificate for its key"
signer=$(key_of "$work/sign.pem")
[[ " ${current_keys[*]} " == *" $signer "* ]] ||
  die "the key of $VELMORA_SIGN_PFX is not one of version $version's, so installations would refuse what it signs"

{
  echo "velmora-keys 1"
  echo "product $product"
  echo "version $((version + 1))"
  printf 'key %s\n' "${record_keys[@]}"
} >"$work/record"
chain=()
! grep -q 'BEGIN CERTIFICATE' "$work/chain.pem" || chain=(-certfile "$work/chain.pem")
openssl cms -sign -nodetach -binary -md sha256 -in "$work/record" -signer "$work/sign.pem" "${providers[@]}" \
  -inkey "$VELMORA_SIGN_PFX" -passin "file:$VELMORA_SIGN_PASSWORD_FILE" "${chain[@]}" -outform DER \
  -out "$work/signed" 2>"$work/log" || { cat "$work/log" >&2; die "could not sign the record"; }
openssl cms -verify -noverify -binary -inform DER -in "$work/signed" -purpose any -out "$work/verified" 2>/dev/null &&
  cmp -s "$work/verified" "$work/record" || die "the signed record does not hold the record written; nothing written"
mkdir -p "$tree/keys"
out=$tree/keys/$((version + 1)).keys
cp "$work/signed" "$out.new"
mv -f "$out.new" "$out"
echo "publisher-keys: wrote $out, signed by a key of version $version; upload it before a feed signed by a key it adds:"
cat "$work/record"
