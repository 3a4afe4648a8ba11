#!/usr/bin/env bash
# scripts/sign-update.sh over real stagings of signed programs, with the throw-away certificates of
# scripts/signed-samples.sh, checked as anyone can check them (sha256sum, openssl); folders an
# installation would refuse are refused with nothing written; then the demonstration's stagings.
#   sign_update.sh LOADER RECORDER      (the Windows builds: the samples are signed with Authenticode)
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: sign_update.sh LOADER RECORDER" >&2; exit 64; }
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
keys=$work/keys
bash "$repo/scripts/signed-samples.sh" "$keys" "$1" "$2"
failures=0
check() {  # ROW, then a command that must succeed
  local row=$1
  shift
  if "$@"; then echo "ok    $row"; else echo "FAIL  $row" >&2; failures=$((failures + 1)); fi
}
staging() {  # DIR: the signed programs and names the manifest must carry exactly
  rm -rf "$1"
  mkdir -p "$1/app/lib/empty" "$1/app/données"
  cp "$keys/signed.exe" "$1/Velmora.exe"
  cp "$keys/recorder-a.exe" "$1/app/velmora.exe"
  echo v2 >"$1/app/tag.txt"
  echo a >"$1/app/données/a b.dat"
  echo b >"$1/app/lib/-b.dll"
  echo c >"$1/app/SHA256SUMS"
}
sign() {  # DIR [VARIABLE=VALUE...]: signed with A unless told otherwise; the output in $work/out
  local dir=$1
  shift
  env VELMORA_SIGN_PFX="$keys/a.pfx" VELMORA_SIGN_PASSWORD_FILE="$keys/pass" VELMORA_SIGN_CAFILE="$keys/root.pem" "$@" \
    "$repo/scripts/sign-update.sh" "$dir" >"$work/out" 2>&1
}
fails() { ! "$@"; }
verifies() { openssl cms -verify -binary -inform DER -in "$1/SHA256SUMS.p7" -content "$1/SHA256SUMS" -purpose any \
  -CAfile "$keys/root.pem" -out /dev/null 2>/dev/null; }
# What the manifest must say, computed apart from sha256sum.
expected() { python3 -c 'import hashlib, os, sys
root = os.fsencode(sys.argv[1])
files = sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)
for f in files:
    if f not in (b"SHA256SUMS", b"SHA256SUMS.p7"):
        sys.stdout.buffer.write(hashlib.sha256(open(os.path.join(root, f), "rb").read()).hexdigest().encode() + b"  " + f + b"\n")' "$1"; }

s=$work/s
staging "$s"
"$repo/scripts/sign-update.sh" "$s" >"$work/out"
check "unsigned: every file listed, sorted bytewise" cmp -s "$s/SHA256SUMS" <(expected "$s")
check "unsigned: no signature" test ! -e "$s/SHA256SUMS.p7"
check "unsigned: says how to sign" grep -q 'NOT signed' "$work/out"
check "unsigned: the longest install directory it fits" grep -q 'up to 239 characters can take it' "$work/out"
check "unsigned: the release file names the product and platform, and is listed" test \
  "$(cat "$s/app/velmora.release")" == $'velmora-release 1\nproduct velmora\nplatform windows-x64' -a \
  "$(grep -c '  app/velmora.release$' "$s/SHA256SUMS")" -eq 1
"$repo/scripts/sign-update.sh" --product velmora --platform windows-x64 "$s" >"$work/out"
check "unsigned again with the same names: taken as it is" grep -q 'NOT signed' "$work/out"

sign "$s"
check "signed by A: the signature verifies" verifies "$s"
check "signed by A: the signer named" grep -q 'verified: CN=Velmora Test Publisher$' "$work/out"
check "signed by A: nothing else left in the staging" diff <(cd "$s" && find . | sort) \
  <(printf '%s\n' . ./SHA256SUMS ./SHA256SUMS.p7 ./Velmora.exe ./app ./app/SHA256SUMS ./app/données \
    "./app/données/a b.dat" ./app/lib ./app/lib/-b.dll ./app/lib/empty ./app/tag.txt ./app/velmora.exe \
    ./app/velmora.release | sort)
# With signed attributes, as signtool /p7 makes them: the manifest's digest is the one signed.
digest=$(openssl asn1parse -inform DER -in "$s/SHA256SUMS.p7" | grep -A2 ':messageDigest' | sed -n 's/.*DUMP\]://p' || true)
check "signed by A: the manifest's digest among the signed attributes" \
  test "${digest,,}" == "$(sha256sum "$s/SHA256SUMS" | cut -c1-64)"
check "signed by A: the chain carried" test "$(openssl cms -cmsout -print -inform DER -in "$s/SHA256SUMS.p7" |
  grep -c 'cert_info:')" -eq 2
echo "$(sha256sum "$s/app/tag.txt" | cut -c1-64)  app/tag.txt" >>"$s/SHA256SUMS"
check "signed by A: a manifest changed after signing does not verify" fails verifies "$s"
"$repo/scripts/sign-update.sh" "$s" >"$work/out"
check "unsigned again: the old signature removed" test ! -e "$s/SHA256SUMS.p7"

# Refused, with the cause named and nothing written:   cause | settings | how the staging is made so
while IFS='|' read -r cause settings how; do
  [ -n "$cause" ] || continue
  staging "$s"
  (cd "$s" && eval "$how")
  before=$(cd "$s" && find . -printf '%p %s\n' | sort)
  eval "settings=($settings)"
  if sign "$s" "${settings[@]}"; then status=0; else status=$?; fi
  check "refused, $cause" test "$status" -ne 0 -a "$(cd "$s" && find . -printf '%p %s\n' | sort)" == "$before"
  check "refused, $cause: says so" grep -qF "$cause" "$work/out"
done <<'ROWS'
symbolic link||ln -s tag.txt app/link.txt
neither a file nor a folder||mkfifo app/pipe
Windows cannot hold||touch 'app/a\b.dat'
Windows cannot hold||touch "app/a"$'\n'"b.dat"
Windows cannot hold||touch 'app/a:b' 'app/a*b' 'app/a?b'
Windows cannot hold||touch app/nul.txt
Windows cannot hold||mkdir -p app/Con/data
Windows cannot hold||touch 'app/lpt¹.log'
Windows cannot hold||touch 'app/readme.'
Windows cannot hold||touch 'app/readme '
not UTF-8||touch app/$'\xe9'.dat
below more than 64 folders||mkdir -p "app/$(printf 'd/%.0s' {1..64})"
reaches 260 characters||touch "app/$(printf 'x%.0s' {1..253})"
Windows takes for one||touch app/Tag.txt
Windows takes for one||touch app/Ä.txt app/ä.txt
Windows takes for one||touch app/k.txt app/$'\u212a'.txt
Windows takes for one||touch app/i.txt app/$'\u0131'.txt
Windows takes for one||touch app/ß app/ẞ
Windows takes for one||touch sha256sums
no file app/velmora.exe||rm app/velmora.exe
is not the release file of velmora for windows-x64||printf 'velmora-release 1\nproduct velmora-pro\nplatform windows-x64\n' >app/velmora.release
Windows takes for one||touch app/Velmora.release
does not verify against|VELMORA_SIGN_PFX=$keys/foreign.pfx|true
cannot open|VELMORA_SIGN_PASSWORD_FILE=$keys/root.pem|true
set both|VELMORA_SIGN_PASSWORD_FILE=|true
ROWS

# The demonstration's signed cycle stages the publisher's whole update, and one changed after signing.
demo() { python3 -c 'import sys; sys.path.insert(0, sys.argv[1] + "/demo"); import demo
from pathlib import Path; demo.stage_signed(Path(sys.argv[2]), Path(sys.argv[3]), "v2", *sys.argv[4:])' \
  "$repo" "$work/demo" "$keys" "$@" >/dev/null; }
demo
check "demonstration, whole: verifies" verifies "$work/demo/data/update"
check "demonstration, whole: every file matches" bash -c "cd '$work/demo/data/update' && sha256sum --quiet -c SHA256SUMS"
demo altered
check "demonstration, altered: verifies" verifies "$work/demo/data/update"
check "demonstration, altered: only tag.txt differs" test "$(cd "$work/demo/data/update" &&
  sha256sum --quiet -c SHA256SUMS 2>/dev/null)" == "app/tag.txt: FAILED"

[ "$failures" -eq 0 ] || { echo "$failures failed" >&2; exit 1; }
