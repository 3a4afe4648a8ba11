#!/usr/bin/env bash
# A release published with this checkout's scripts installs over programs built from an older
# commit (default c71a0c2, before the publisher's keys were pinned): its updater stages it natively,
# through the feed it reads, held to the publisher's name and root (--cafile, --publisher), and its
# loader installs it; its loader, signed, takes the release's signed staging under Wine, in a prefix
# of its own that trusts the throw-away root. The old programs are built from `git archive` of that
# commit in a folder of their own; the new ones are this checkout's builds (build/linux,
# build/windows, which scripts/build.sh makes).
#   old_installations.sh [COMMIT]
# Run by scripts/test.sh after the build; a few minutes, most of them building the old programs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
old=${1:-c71a0c2}
work=$(mktemp -d)
server=
trap '[ -z "$server" ] || kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
publisher="Velmora Test Publisher"

# The old programs, built as their commit builds them.
mkdir "$work/old"
git -C "$repo" archive "$old" | tar -x -C "$work/old"
[ ! -d "$repo/.cache/boost" ] || { mkdir "$work/old/.cache" && cp -a "$repo/.cache/boost" "$work/old/.cache/"; }
(cd "$work/old" && cmake --preset linux -DBUILD_TESTING=OFF && cmake --build --preset linux --target Velmora velmora-update &&
   cmake --preset windows -DBUILD_TESTING=OFF && cmake --build --preset windows --target Velmora) >"$work/build.log" 2>&1 ||
  { tail -n 30 "$work/build.log" >&2; fail "could not build $old"; }

# The publisher's certificate of the key this checkout's tests pin under a throw-away root, and this
# checkout's Windows loader signed with it (signed.exe), as the publisher scenarios make them.
keys=$work/keys
bash "$repo/scripts/signed-samples.sh" "$keys" "$repo/build/windows/Velmora.exe" "$repo/build/windows/tests/recorder.exe"
export VELMORA_SIGN_PFX=$keys/a.pfx VELMORA_SIGN_PASSWORD_FILE=$keys/pass VELMORA_SIGN_CAFILE=$keys/root.pem

# RELEASE_DIR LOADER APPLICATION: a release of this checkout's LOADER and APPLICATION, as app v2,
# signed whole with this checkout's sign-update.sh.
release() {
  mkdir -p "$1/app"
  cp "$2" "$1/Velmora.exe"
  cp "$3" "$1/app/velmora.exe"
  printf 'app v2\n' >"$1/app/tag.txt"
  bash "$repo/scripts/sign-update.sh" "$1" >/dev/null
}
# INSTALL LOADER APPLICATION: an installation of the old LOADER, the application as app v1.
installation() {
  mkdir -p "$1/app" "$1/data"
  cp "$2" "$1/Velmora.exe"
  cp "$3" "$1/app/velmora.exe"
  printf 'app v1\n' >"$1/app/tag.txt"
}

# Natively: published into a tree, served on 127.0.0.1, staged by the old updater, installed by the old loader.
release "$work/native-release" "$repo/build/linux/Velmora.exe" "$repo/build/linux/tests/recorder"
bash "$repo/scripts/publish-update.sh" --version 2.0 "$work/native-release" "$work/tree" >/dev/null
echo '{}' >"$work/rules.json"
coproc SERVE { python3 "$repo/tests/updater/fault_server.py" "$work/tree" "$work/rules.json" "$work/requests.log" \
  --lifetime 300; }
server=$SERVE_PID
read -r port <&"${SERVE[0]}"
installation "$work/native" "$work/old/build/linux/Velmora.exe" "$repo/build/linux/tests/recorder"
"$work/old/build/linux/velmora-update" stage --json --install "$work/native" --feed "http://127.0.0.1:$port" \
  --cafile "$keys/root.pem" --publisher "$publisher" >"$work/stage.json" ||
  fail "the old updater did not stage the release: $(cat "$work/stage.json")"
grep -q '"outcome":"done"' "$work/stage.json" || fail "the old updater: $(cat "$work/stage.json")"
VELMORA_RECORD=$work/native.record timeout 60 "$work/native/Velmora.exe" >/dev/null 2>&1 || true
for _ in $(seq 100); do [ -e "$work/native/data/update" ] || break; sleep 0.1; done
[ "$(cat "$work/native/app/tag.txt")" == "app v2" ] && cmp -s "$work/native/Velmora.exe" "$repo/build/linux/Velmora.exe" ||
  fail "the old loader did not install the release"
echo "old installations: the updater and loader of $old staged and installed the release natively"

# Under Wine: the old loader signed by the publisher, the release's staging signed whole.
osslsigncode sign -pkcs12 "$keys/a.pfx" -readpass "$keys/pass" -h sha256 -n Velmora \
  -in "$work/old/build/windows/Velmora.exe" -out "$work/old-signed.exe" >/dev/null
release "$work/wine-release" "$keys/signed.exe" "$repo/build/windows/tests/recorder.exe"
installation "$work/wine" "$work/old-signed.exe" "$repo/build/windows/tests/recorder.exe"
cp -r "$work/wine-release" "$work/wine/data/update"
"$repo/scripts/with-trusted-roots.sh" "$repo/build/windows/tests/root_store.exe" "$keys/root.pem" -- \
  bash -c 'VELMORA_RECORD="Z:${2//\//\\}" timeout 120 "$1/scripts/wine-run.sh" "$3/Velmora.exe" >/dev/null 2>&1
           for _ in $(seq 300); do [ -e "$3/data/update" ] || break; sleep 0.1; done' _ "$repo" "$work/wine.record" "$work/wine"
[ "$(cat "$work/wine/app/tag.txt")" == "app v2" ] && cmp -s "$work/wine/Velmora.exe" "$keys/signed.exe" ||
  fail "the old signed loader did not take the signed staging: $(tail -n 3 "$work/wine/data/Velmora.log" 2>/dev/null)"
grep -q "staging taken, .*signed installation of \"$publisher\"" "$work/wine/data/Velmora.log" ||
  fail "not taken as a signed installation's: $(cat "$work/wine/data/Velmora.log")"
echo "old installations: the signed loader of $old took the release's signed staging under Wine"
