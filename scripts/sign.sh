#!/usr/bin/env bash
# Signs the Windows loader with Authenticode (SHA-256) and verifies the signature: scripts/release.sh
# signs with it, and so does the signed loader's test.
#   sign.sh UNSIGNED.exe SIGNED.exe
# VELMORA_SIGN_PFX             the certificate and its key, a PKCS#12 file
# VELMORA_SIGN_PASSWORD_FILE   the file that holds its password
# VELMORA_SIGN_TIMESTAMP_URL   optional: an RFC 3161 time-stamp server, so the signature outlives
#                              the certificate; without one nothing is sent anywhere
# VELMORA_SIGN_CAFILE          optional: the roots to verify against (default: the system's)
set -euo pipefail
die() { echo "sign: $*" >&2; exit 1; }
[ $# -eq 2 ] || die "usage: sign.sh UNSIGNED.exe SIGNED.exe"
unsigned=$1 signed=$2
: "${VELMORA_SIGN_PFX:?the PKCS#12 file to sign with}" "${VELMORA_SIGN_PASSWORD_FILE:?the file with its password}"
[ -r "$VELMORA_SIGN_PFX" ] || die "cannot read VELMORA_SIGN_PFX=$VELMORA_SIGN_PFX"
[ -r "$VELMORA_SIGN_PASSWORD_FILE" ] || die "cannot read VELMORA_SIGN_PASSWORD_FILE=$VELMORA_SIGN_PASSWORD_FILE"

log=$(mktemp)
# A signed file that failed a check is not left behind to be packed.
trap 'rm -f "$log" "$signed.unsigned"; [ -n "${checked:-}" ] || rm -f "$signed"' EXIT
run() { "$@" >"$log" 2>&1 || { cat "$log" >&2; die "failed: $1 $2"; }; }

sign=(osslsigncode sign -pkcs12 "$VELMORA_SIGN_PFX" -readpass "$VELMORA_SIGN_PASSWORD_FILE" -h sha256 -n Velmora)
[ -z "${VELMORA_SIGN_TIMESTAMP_URL:-}" ] || sign+=(-ts "$VELMORA_SIGN_TIMESTAMP_URL")
rm -f "$signed"
run "${sign[@]}" -in "$unsigned" -out "$signed"
run osslsigncode verify -in "$signed" ${VELMORA_SIGN_CAFILE:+-CAfile "$VELMORA_SIGN_CAFILE"}
signer=$(sed -n 's/^[[:space:]]*Subject: *//p' "$log" | head -n 1)
# Signing only appends the signature and names it in the header: without it the built bytes come
# back, which is how anyone checks a signed release against a build of its source.
run osslsigncode remove-signature -in "$signed" -out "$signed.unsigned"
cmp -s "$unsigned" "$signed.unsigned" || die "$signed without its signature differs from $unsigned"
checked=1
echo "signed $signed, verified: $signer"
