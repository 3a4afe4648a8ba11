#!/usr/bin/env bash
# The publisher check under Wine over real signed files: stagings made by scripts/sign-update.sh (or
# signed by hand where it would refuse to), signed by the installation's publisher, its renewed
# certificate, another publisher, certificates under the publisher's name from a self-made root (of a
# key no build pins, or of the pinned one), expired or not for code signing, by two signers, with
# SHA-1 or without the signer's certificate, altered after signing, older, without a version record,
# for another product or naming none, or without a manifest (SCENARIO, the publisher scenario test,
# starts the loader on each); then, through the platform probe, what the loader cannot show: further
# accepted names, an installed loader that cannot be read, and the staged loader held against
# replacing; and a root that only the current user's store holds. Everything runs in a Wine prefix of
# its own that trusts the
# throw-away root (scripts/with-trusted-roots.sh), and nothing else: the self-made root stays untrusted.
#   update_origin.sh PROBE RENAMED_PROBE LOADER RECORDER OLD_RECORDER UNVERSIONED_RECORDER SCENARIO ROOT_STORE
# RENAMED_PROBE is the probe built to accept "Velmora Other Publisher" besides the installation's own.
set -euo pipefail
[ $# -eq 8 ] || {
  echo "usage: update_origin.sh PROBE RENAMED_PROBE LOADER RECORDER OLD_RECORDER UNVERSIONED_RECORDER SCENARIO ROOT_STORE" >&2
  exit 64
}
probe=$1 renamed=$2 loader=$3 recorder=$4 old=$5 unversioned=$6 scenario=$7 store=$8
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=${VELMORA_ORIGIN_WORK:-}

# A staging as data/update holds it: LOADER and APPLICATION with a library and a tag beside it,
# the manifest signed with CERTIFICATE (from the root ROOT), or unsigned when none is given; the
# release file names $product (velmora when unset).
stage() {  # NAME LOADER APPLICATION [CERTIFICATE [ROOT]]
  local dir=$work/stagings/$1
  mkdir -p "$dir/app/resources/empty"
  cp "$work/$2" "$dir/Velmora.exe"
  cp "$work/$3" "$dir/app/velmora.exe"
  printf 'app v2\n' >"$dir/app/tag.txt"
  printf 'a library of the application\n' >"$dir/app/library.dll"
  if [ -n "${4:-}" ]; then
    VELMORA_SIGN_PFX=$work/$4.pfx VELMORA_SIGN_PASSWORD_FILE=$work/pass VELMORA_SIGN_CAFILE=$work/${5:-root}.pem \
      bash "$repo/scripts/sign-update.sh" --product "${product:-velmora}" "$dir" >/dev/null
  else
    bash "$repo/scripts/sign-update.sh" --product "${product:-velmora}" "$dir" >/dev/null
  fi
}
# The manifest of staging NAME signed again by hand with `openssl cms -sign`, as sign-update.sh
# would refuse to: by each CERTIFICATE, with its chain, and OPTIONs after the defaults.
resign() {  # NAME CERTIFICATE... [-- OPTION...]
  local dir=$work/stagings/$1 signers=() options=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    [ -f "$work/$1.key.pem" ] || {
      openssl pkcs12 -in "$work/$1.pfx" -passin "file:$work/pass" -clcerts -nodes -out "$work/$1.key.pem"
      openssl pkcs12 -in "$work/$1.pfx" -passin "file:$work/pass" -cacerts -nokeys -out "$work/$1.chain.pem"
    } 2>/dev/null
    signers+=(-signer "$work/$1.key.pem" -inkey "$work/$1.key.pem" -certfile "$work/$1.chain.pem")
    shift
  done
  [ "${1:-}" != -- ] || { shift; options=("$@"); }
  openssl cms -sign -binary -md sha256 -in "$dir/SHA256SUMS" "${signers[@]}" "${options[@]}" -outform DER \
    -out "$dir/SHA256SUMS.p7"
}
stagings() {
  stage whole signed.exe recorder-a.exe a
  stage renewed renewed.exe recorder-a.exe renewed
  stage changed signed.exe recorder-a.exe a && printf 'app v3\n' >"$work/stagings/changed/app/tag.txt"
  stage unlisted signed.exe recorder-a.exe a && printf 'not the publisher'"'"'s\n' >"$work/stagings/unlisted/app/extra.dll"
  stage missing signed.exe recorder-a.exe a && rm "$work/stagings/missing/app/library.dll"
  # A manifest extended after signing to list a file of someone else's, its signature left as it was.
  stage extended signed.exe recorder-a.exe a && (cd "$work/stagings/extended" && printf 'x\n' >app/extra.dll &&
    sha256sum app/extra.dll >>SHA256SUMS)
  stage no-manifest signed.exe recorder-a.exe a && rm "$work/stagings/no-manifest/SHA256SUMS"*
  stage unsigned-manifest signed.exe recorder-a.exe
  stage other-manifest signed.exe recorder-a.exe b
  stage other-loader other.exe recorder-b.exe b
  stage other-loader-only other.exe recorder-a.exe a
  stage tampered tampered.exe recorder-a.exe a
  stage older signed.exe recorder-old-a.exe a
  stage unversioned signed.exe recorder-unversioned-a.exe a
  # Under the publisher's name, from a root no machine trusts: the manifest, the loader, or both; and
  # the manifest signed with the publisher's pinned key under that root.
  stage foreign signed.exe recorder-a.exe foreign foreign-root
  stage self-made-loader foreign.exe recorder-a.exe a
  stage self-made foreign.exe recorder-a.exe foreign foreign-root
  stage foreign-pinned signed.exe recorder-a.exe foreign-pinned foreign-root
  stage expired-loader expired.exe recorder-a.exe a
  stage expired-manifest signed.exe recorder-a.exe && resign expired-manifest expired
  stage server-loader server.exe recorder-a.exe a
  stage server-manifest signed.exe recorder-a.exe && resign server-manifest server
  stage no-certificate signed.exe recorder-a.exe && resign no-certificate a -- -nocerts
  stage two-signers signed.exe recorder-a.exe && resign two-signers a renewed
  stage sha1 signed.exe recorder-a.exe && resign sha1 a -- -md sha1
  # Signed whole by the publisher, for another of its products, or naming none.
  product=velmora-pro stage other-product signed.exe recorder-a.exe a
  stage no-release-file signed.exe recorder-a.exe && (cd "$work/stagings/no-release-file" && rm app/velmora.release &&
    sed -i '/app\/velmora.release$/d' SHA256SUMS) && resign no-release-file a
  stage plain unsigned.exe recorder.exe
  stage plain-changed unsigned.exe recorder.exe && printf 'app v3\n' >"$work/stagings/plain-changed/app/tag.txt"
}
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  bash "$repo/scripts/signed-samples.sh" "$work" "$loader" "$recorder" "$old" "$unversioned"
  stagings
  # The rest runs again in a prefix of its own that trusts the root.
  VELMORA_ORIGIN_WORK=$work "$repo/scripts/with-trusted-roots.sh" "$store" "$work/root.pem" -- bash "$0" "$@"
  exit
fi

failures=0
VELMORA_SIGNED_FIXTURES="Z:${work//\//\\}" "$repo/scripts/wine-run.sh" "$scenario" || failures=$((failures + 1))

installation() {  # INSTALLED_LOADER STAGING: a new installation of them, the folder printed
  local install=$work/install-$RANDOM$RANDOM
  mkdir -p "$install/app" "$install/data"
  [ ! -e "$work/$1" ] || cp "$work/$1" "$install/Velmora.exe"
  cp "$work/recorder-a.exe" "$install/app/velmora.exe"
  cp -r "$work/stagings/$2" "$install/data/update"
  echo "$install"
}
check() {  # PROBE INSTALLED_LOADER STAGING [OPTION...]: the verdict, and what --try-replace did
  local program=$1 install
  install=$(installation "$2" "$3")
  shift 3
  "$repo/scripts/wine-run.sh" "$program" check-staging "Z:${install//\//\\}" "$@" | tr -d '\r' | sed 2d
}
# The crypto libraries a start of the loader in such an installation loads, as Wine traces them.
crypto_loaded() {  # INSTALLED_LOADER STAGING
  local install
  install=$(installation "$1" "$2")
  (source "$repo/scripts/wine-env.sh" && WINEDEBUG=+loaddll "${wine_loader[@]}" "$install/Velmora.exe" 2>&1 >/dev/null) |
    grep -ioE '\\(crypt32|wintrust|bcrypt)\.dll' | sort -fu | tr -d '\\' | tr '[:upper:]' '[:lower:]' | paste -sd' ' || true
}
expect() {  # WANT ROW GOT
  if [ "$3" == "$1" ]; then
    echo "ok    $2"
  else
    echo "FAIL  $2: got '${3//$'\n'/|}', want '${1//$'\n'/|}'" >&2
    failures=$((failures + 1))
  fi
}
expect "taken" "another name the build accepts" "$(check "$renamed" signed.exe other-loader)"
expect "not now" "an installed loader that cannot be read" "$(check "$probe" missing.exe whole)"
# Held while taken: neither deleted nor written; a refused one is let go before the answer.
expect $'taken\ndelete refused\nwrite refused' "held against replacing" \
  "$(check "$probe" signed.exe whole --try-replace)"
expect $'refused\ndelete done\nwrite done' "let go when refused" \
  "$(check "$probe" signed.exe other-manifest --try-replace)"

# A root only the current user's store holds counts for nothing: the manifest signer's chain and the
# staged loader's are built with the machine's roots (with the user's, both would be taken).
openssl x509 -in "$work/foreign-root.pem" -outform DER -out "$work/foreign-root.der"
user_root() { "$repo/scripts/wine-run.sh" "$store" "$1" "Z:${work//\//\\}\\foreign-root.der" >/dev/null; }
user_root add-user
expect "not now" "the manifest's root in the user's store alone" "$(check "$probe" signed.exe foreign-pinned)"
expect "not now" "the staged loader's root in the user's store alone" "$(check "$probe" signed.exe self-made-loader)"
user_root remove-user

# An unsigned installation taking a staging without a manifest needs no cryptography at all.
expect "" "no crypto library for an unsigned hand-over" "$(crypto_loaded unsigned.exe no-manifest)"
expect "bcrypt.dll crypt32.dll wintrust.dll" "the crypto libraries of a signed one" "$(crypto_loaded signed.exe whole)"

[ "$failures" -eq 0 ] || { echo "$failures failed" >&2; exit 1; }
