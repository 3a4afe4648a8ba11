#!/usr/bin/env bash
# Files for the publisher check, signed (SHA-256, no time stamp) with three code-signing certificates
# of a throw-away root: A, its renewal A' (same name, new key), B (another name). Writes into OUTDIR
# root.pem; LOADER signed by A, A', B as signed.exe, renewed.exe, other.exe, and unsigned.exe;
# tampered.exe, signed.exe with a byte of code changed; RECORDER as recorder-a.exe, recorder-b.exe
# (by A, B) and recorder.exe. For signing stagings (scripts/sign-update.sh): a.pfx, renewed.pfx
# and b.pfx, each with its chain; foreign.pfx, a certificate named as A's but issued by a second
# root, foreign-root.pem; their one password, pass. With OLD_RECORDER, that signed by A as
# recorder-old-a.exe.
#   signed-samples.sh OUTDIR LOADER RECORDER [OLD_RECORDER]
set -euo pipefail
[ $# -eq 3 ] || [ $# -eq 4 ] || { echo "usage: signed-samples.sh OUTDIR LOADER RECORDER [OLD_RECORDER]" >&2; exit 64; }
out=$1 loader=$2 recorder=$3 old=${4:-}
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
printf 'throw-away' >"$out/pass"
leaf() {  # NAME COMMON_NAME [ROOT]
  local root=${3:-root}
  openssl req -newkey rsa:2048 -nodes -subj "/CN=$2" -keyout "$keys/$1.key" -out "$keys/$1.csr" 2>/dev/null
  openssl x509 -req -in "$keys/$1.csr" -CA "$out/$root.pem" -CAkey "$keys/$root.key" -days 2 \
    -set_serial "0x$(openssl rand -hex 8)" -extfile "$keys/leaf.ext" -out "$keys/$1.pem" 2>/dev/null
  cat "$keys/$1.pem" "$out/$root.pem" >"$keys/$1.chain"
  openssl pkcs12 -export -inkey "$keys/$1.key" -in "$keys/$1.pem" -certfile "$out/$root.pem" \
    -passout "file:$out/pass" -out "$out/$1.pfx"
}
leaf a "Velmora Test Publisher"
leaf renewed "Velmora Test Publisher"
leaf b "Velmora Other Publisher"
leaf foreign "Velmora Test Publisher" foreign-root

sign() {  # CERTIFICATE IN OUT
  rm -f "$3"
  osslsigncode sign -certs "$keys/$1.chain" -key "$keys/$1.key" -h sha256 -n Velmora -in "$2" -out "$3" >/dev/null
  osslsigncode verify -in "$3" -CAfile "$out/root.pem" >/dev/null
}
cp "$loader" "$out/unsigned.exe"
cp "$recorder" "$out/recorder.exe"
sign a "$loader" "$out/signed.exe"
sign renewed "$loader" "$out/renewed.exe"
sign b "$loader" "$out/other.exe"
sign a "$recorder" "$out/recorder-a.exe"
sign b "$recorder" "$out/recorder-b.exe"
[ -z "$old" ] || sign a "$old" "$out/recorder-old-a.exe"

# One byte of code, well inside what the signature covers, and well before the signature itself.
cp "$out/signed.exe" "$out/tampered.exe"
offset=4096
byte=$(od -An -tu1 -j "$offset" -N 1 "$out/tampered.exe" | tr -d ' ')
printf "\\$(printf '%03o' $(((byte + 1) % 256)))" | dd of="$out/tampered.exe" bs=1 seek="$offset" conv=notrunc 2>/dev/null
if osslsigncode verify -in "$out/tampered.exe" -CAfile "$out/root.pem" >/dev/null 2>&1; then
  echo "signed-samples: tampered.exe still verifies" >&2
  exit 1
fi
