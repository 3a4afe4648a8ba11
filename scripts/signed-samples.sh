#!/usr/bin/env bash
# Files for the publisher check, signed (SHA-256, no time stamp) with code-signing certificates of a
# throw-away root, made afresh over the committed throw-away keys of tests/keys, which the tests'
# builds pin: A, its renewal A' (same name, another pinned key), B (another name, the key of A').
# Writes into OUTDIR root.pem; LOADER signed by A, A', B as signed.exe, renewed.exe, other.exe, and
# unsigned.exe; tampered.exe, signed.exe with a byte of code changed; RECORDER as recorder-a.exe,
# recorder-b.exe (by A, B) and recorder.exe. For signing stagings (scripts/sign-update.sh): a.pfx,
# renewed.pfx and b.pfx, each with its chain; foreign.pfx, a certificate named as A's, of a key no build pins,
# issued by a second, self-made root, foreign-root.pem, and foreign-pinned.pfx, A's key under that
# root; their one password, pass. Under A's name and key too, certificates no installation may take a
# staging from: expired.pfx (of the root, valid for a month in 2020) and server.pfx (of the root, for
# TLS servers, not for code), and LOADER signed by each of them and by foreign.pfx: expired.exe,
# server.exe, foreign.exe. With OLD_RECORDER, that signed by A as
# recorder-old-a.exe; with UNVERSIONED_RECORDER (no version record), that as recorder-unversioned-a.exe.
#   signed-samples.sh OUTDIR LOADER RECORDER [OLD_RECORDER [UNVERSIONED_RECORDER]]
set -euo pipefail
[ $# -ge 3 ] && [ $# -le 5 ] ||
  { echo "usage: signed-samples.sh OUTDIR LOADER RECORDER [OLD_RECORDER [UNVERSIONED_RECORDER]]" >&2; exit 64; }
out=$1 loader=$2 recorder=$3 old=${4:-} unversioned=${5:-}
committed=$(cd "$(dirname "$0")/../tests/keys" && pwd)
mkdir -p "$out"
keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT

root() {  # FILE COMMON_NAME
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$2" \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$keys/$1.key" -out "$out/$1.pem" 2>/dev/null
}
root root "Velmora Test Root"
root foreign-root "Velmora Foreign Root"
printf 'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\nbasicConstraints=CA:false\n' \
  >"$keys/leaf.ext"
printf 'extendedKeyUsage=serverAuth\nkeyUsage=critical,digitalSignature\nbasicConstraints=CA:false\n' \
  >"$keys/server.ext"
printf 'throw-away' >"$out/pass"
pfx() {  # NAME ROOT: the certificate NAME with its key and chain
  cat "$keys/$1.pem" "$out/$2.pem" >"$keys/$1.chain"
  openssl pkcs12 -export -inkey "$keys/$1.key" -in "$keys/$1.pem" -certfile "$out/$2.pem" \
    -passout "file:$out/pass" -out "$out/$1.pfx"
}
leaf() {  # NAME KEY COMMON_NAME [ROOT [EXTENSIONS]]: NAME's certificate over the committed KEY
  local root=${4:-root}
  cp "$committed/$2.pem" "$keys/$1.key"
  openssl req -new -key "$keys/$1.key" -subj "/CN=$3" -out "$keys/$1.csr" 2>/dev/null
  openssl x509 -req -in "$keys/$1.csr" -CA "$out/$root.pem" -CAkey "$keys/$root.key" -days 2 \
    -set_serial "0x$(openssl rand -hex 8)" -extfile "$keys/${5:-leaf}.ext" -out "$keys/$1.pem" 2>/dev/null
  pfx "$1" "$root"
}
leaf a publisher "Velmora Test Publisher"
leaf renewed renewed "Velmora Test Publisher"
leaf b renewed "Velmora Other Publisher"
leaf foreign stranger "Velmora Test Publisher" foreign-root
leaf foreign-pinned publisher "Velmora Test Publisher" foreign-root
leaf server publisher "Velmora Test Publisher" root server
# A validity in the past takes openssl's CA command.
printf '[ca]\ndefault_ca=throwaway\n[throwaway]\ndatabase=%s\nnew_certs_dir=%s\ndefault_md=sha256\npolicy=any\nrand_serial=yes\n[any]\ncommonName=supplied\n' \
  "$keys/index.txt" "$keys" >"$keys/ca.cnf"
: >"$keys/index.txt"
cp "$committed/publisher.pem" "$keys/expired.key"
openssl req -new -key "$keys/expired.key" -subj "/CN=Velmora Test Publisher" -out "$keys/expired.csr" 2>/dev/null
openssl ca -batch -config "$keys/ca.cnf" -cert "$out/root.pem" -keyfile "$keys/root.key" -in "$keys/expired.csr" \
  -startdate 20200101000000Z -enddate 20200201000000Z -extfile "$keys/leaf.ext" -notext -out "$keys/expired.pem" \
  2>/dev/null
pfx expired root

sign() {  # CERTIFICATE IN OUT [unchecked]: verified against the root unless it is not meant to
  rm -f "$3"
  osslsigncode sign -certs "$keys/$1.chain" -key "$keys/$1.key" -h sha256 -n Velmora -in "$2" -out "$3" >/dev/null
  [ -n "${4:-}" ] || osslsigncode verify -in "$3" -CAfile "$out/root.pem" >/dev/null
}
cp "$loader" "$out/unsigned.exe"
cp "$recorder" "$out/recorder.exe"
sign a "$loader" "$out/signed.exe"
sign renewed "$loader" "$out/renewed.exe"
sign b "$loader" "$out/other.exe"
sign a "$recorder" "$out/recorder-a.exe"
sign b "$recorder" "$out/recorder-b.exe"
for certificate in expired server foreign; do
  sign "$certificate" "$loader" "$out/$certificate.exe" unchecked
done
[ -z "$old" ] || sign a "$old" "$out/recorder-old-a.exe"
[ -z "$unversioned" ] || sign a "$unversioned" "$out/recorder-unversioned-a.exe"

# One byte of code, well inside what the signature covers, and well before the signature itself.
cp "$out/signed.exe" "$out/tampered.exe"
offset=4096
byte=$(od -An -tu1 -j "$offset" -N 1 "$out/tampered.exe" | tr -d ' ')
printf "\\$(printf '%03o' $(((byte + 1) % 256)))" | dd of="$out/tampered.exe" bs=1 seek="$offset" conv=notrunc 2>/dev/null
if osslsigncode verify -in "$out/tampered.exe" -CAfile "$out/root.pem" >/dev/null 2>&1; then
  echo "signed-samples: tampered.exe still verifies" >&2
  exit 1
fi
