#!/usr/bin/env bash
# The loader signed the way scripts/release.sh signs it, with a throw-away certificate made here:
# the signature verifies, the file still reads as the loader (imports, resources), and it runs the
# whole update cycle under Wine, copying itself byte for byte.
#   signed_loader.sh LOADER TESTS_DIR VERSION ROOT_STORE
# TESTS_DIR holds update_cycle_test.exe, recorder.exe; the cycle runs in a Wine prefix of its own that
# trusts the certificate (scripts/with-trusted-roots.sh, with ROOT_STORE).
set -euo pipefail
loader=$1 tests=$2 version=$3 store=$4
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Velmora throw-away signer" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
printf 'throw-away' >"$work/password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout "file:$work/password" \
  -out "$work/signer.pfx"
export VELMORA_SIGN_PFX=$work/signer.pfx VELMORA_SIGN_PASSWORD_FILE=$work/password
VELMORA_SIGN_CAFILE=$work/cert.pem "$repo/scripts/sign.sh" "$loader" "$work/Velmora.exe"
if osslsigncode verify -in "$loader" -CAfile "$work/cert.pem" >/dev/null 2>&1; then
  echo "FAIL: the unsigned loader verifies too" >&2
  exit 1
fi
/usr/bin/python3 "$repo/tests/resources/check_resources.py" "$work/Velmora.exe" "$version"

# The scenario takes the loader one folder above itself. A signed installation takes only a staged
# update signed whole by its publisher: the marked next version is signed too, its mark under the
# signature, and so is the manifest of its staging.
mkdir "$work/tests" "$work/marked"
cp "$tests/update_cycle_test.exe" "$tests/recorder.exe" "$work/tests/"
mark="staged loader, next version"
{ cat "$loader"; printf '\n%s\n' "$mark"; } >"$work/marked.exe"
osslsigncode sign -pkcs12 "$work/signer.pfx" -readpass "$work/password" -h sha256 -in "$work/marked.exe" \
  -out "$work/marked/$mark.exe" >/dev/null
# The staging of it is signed whole, as the publisher ships it: the marked loader and app v2.
mkdir -p "$work/staging/app"
cp "$work/marked/$mark.exe" "$work/staging/Velmora.exe"
cp "$tests/recorder.exe" "$work/staging/app/velmora.exe"
printf 'app v2\n' >"$work/staging/app/tag.txt"
VELMORA_SIGN_CAFILE=$work/cert.pem bash "$repo/scripts/sign-update.sh" "$work/staging" >/dev/null
cp "$work/staging/SHA256SUMS" "$work/marked/$mark.SHA256SUMS"
cp "$work/staging/SHA256SUMS.p7" "$work/marked/$mark.SHA256SUMS.p7"
VELMORA_MARKED_LOADERS="Z:${work//\//\\}\\marked" "$repo/scripts/with-trusted-roots.sh" "$store" "$work/cert.pem" -- \
  "$repo/scripts/wine-run.sh" "$work/tests/update_cycle_test.exe"
