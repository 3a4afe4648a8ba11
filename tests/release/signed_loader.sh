#!/usr/bin/env bash
# The loader signed the way scripts/release.sh signs it, with a throw-away certificate made here:
# the signature verifies, the file still reads as the loader (imports, resources), and it runs the
# whole update cycle under Wine, copying itself byte for byte.
#   signed_loader.sh LOADER TESTS_DIR VERSION ROOT_STORE
# TESTS_DIR holds update_cycle_test.exe, recorder.exe, recorder_old.exe; the cycle runs in a Wine
# prefix of its own that trusts the certificate (scripts/with-trusted-roots.sh, with ROOT_STORE).
set -euo pipefail
loader=$1 tests=$2 version=$3 store=$4
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The publisher's committed throw-away key, which the tests' build pins: a signed installation takes
# a manifest signed with no other.
cp "$repo/tests/keys/publisher.pem" "$work/key.pem"
openssl req -x509 -new -key "$work/key.pem" -days 2 -subj "/CN=Velmora throw-away signer" \
  -addext extendedKeyUsage=codeSigning -out "$work/cert.pem" 2>/dev/null
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
cp "$tests/update_cycle_test.exe" "$tests/recorder.exe" "$tests/recorder_old.exe" "$work/tests/"
# MARK APPLICATION: the marked loader, signed, and a staging of it with APPLICATION as app v2, whose
# manifest is signed whole, as the publisher ships it.
signed_staging() {
  local mark=$1 application=$2 staging=$work/staging-$RANDOM
  { cat "$loader"; printf '\n%s\n' "$mark"; } >"$work/marked.exe"
  osslsigncode sign -pkcs12 "$work/signer.pfx" -readpass "$work/password" -h sha256 -in "$work/marked.exe" \
    -out "$work/marked/$mark.exe" >/dev/null
  mkdir -p "$staging/app"
  cp "$work/marked/$mark.exe" "$staging/Velmora.exe"
  cp "$application" "$staging/app/velmora.exe"
  printf 'app v2\n' >"$staging/app/tag.txt"
  VELMORA_SIGN_CAFILE=$work/cert.pem bash "$repo/scripts/sign-update.sh" "$staging" >/dev/null
  cp "$staging/SHA256SUMS" "$work/marked/$mark.SHA256SUMS"
  cp "$staging/SHA256SUMS.p7" "$work/marked/$mark.SHA256SUMS.p7"
  cp "$staging/app/velmora.release" "$work/marked/$mark.velmora.release"
}
signed_staging "staged loader, next version" "$tests/recorder.exe"
# An update whose application is older than the installed one, which the restart route refuses.
signed_staging "staged loader, older application" "$tests/recorder_old.exe"
VELMORA_MARKED_LOADERS="Z:${work//\//\\}\\marked" "$repo/scripts/with-trusted-roots.sh" "$store" "$work/cert.pem" -- \
  "$repo/scripts/wine-run.sh" "$work/tests/update_cycle_test.exe"
