#!/usr/bin/env bash
# Makes Debian's boost1.81 sources available for the Windows build, which compiles
# Boost.ProgramOptions and Boost.Filesystem itself against the host's Boost headers.
# The version is exactly that of the installed libboost1.81-dev, so the compiled code
# and the headers agree; Debian's patches touching those libraries are applied.
#
# usage: fetch-boost-source.sh [CACHE_DIR]     (default: <repo>/.cache/boost)
# Result: CACHE_DIR/src/{libs/program_options,libs/filesystem,LICENSE_1_0.txt}
# and CACHE_DIR/src/.debian-version. Silent when that is already in place.
#
# Only apt's own configuration is used: deb entries of this machine's sources become
# deb-src entries in a private list, with private lists and cache dirs, so the
# system's apt state is never touched.
set -euo pipefail

dev_pkg=libboost1.81-dev
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${1:-$repo/.cache/boost}
dest=$cache/src

die() { echo "fetch-boost-source: $*" >&2; exit 1; }

src_id=$(dpkg-query -W -f='${source:Package} ${source:Version}' "$dev_pkg" 2>/dev/null) ||
  die "$dev_pkg is not installed (scripts/install-deps.sh installs it)"
read -r src_pkg src_ver <<<"$src_id"

have() { [ -f "$dest/.debian-version" ] && [ "$(cat "$dest/.debian-version")" = "$src_id" ]; }
have && exit 0

mkdir -p "$cache"
# Two configure runs (native and cross) may start at once: one fetches, the other waits.
exec 9>"$cache/.lock"
flock 9
have && exit 0

start=$SECONDS
echo "fetching Debian source $src_pkg $src_ver into $cache (once)"

work=$(mktemp -d "${TMPDIR:-/tmp}/boost-src.XXXXXX")
stage=$cache/.src.$$
trap 'rm -rf "$work" "$stage"' EXIT
chmod 755 "$work"
mkdir -p "$work/sources.list.d" "$work/lists/partial" "$work/cache/archives/partial" "$work/dl"
: >"$work/sources.list"

sys_list='' sys_parts='' sandbox_user=''
eval "$(apt-config shell sys_list Dir::Etc::sourcelist/f sys_parts Dir::Etc::sourceparts/d sandbox_user APT::Sandbox::User)"

# One-line style: "deb [opts] uri suite comps" -> "deb-src [opts] uri suite comps".
{
  for f in "$sys_list" "${sys_parts%/}"/*.list; do
    [ -f "$f" ] || continue
    sed -nE 's/^[[:space:]]*deb(-src)?([[:space:]])/deb-src\2/p' "$f"
  done
} | sort -u >"$work/sources.list.d/private.list"

# deb822 style: keep every stanza that has deb (or deb-src) among its Types, as deb-src only.
for f in "${sys_parts%/}"/*.sources; do
  [ -f "$f" ] || continue
  awk 'BEGIN { RS = ""; FS = "\n" }
    {
      keep = 0; out = ""
      for (i = 1; i <= NF; i++) {
        line = $i
        if (tolower(line) ~ /^types:/) {
          n = split(substr(line, 7), t, /[[:space:]]+/)
          for (j = 1; j <= n; j++) if (t[j] == "deb" || t[j] == "deb-src") keep = 1
          line = "Types: deb-src"
        }
        out = out line "\n"
      }
      if (keep) printf "%s\n", out
    }' "$f" >"$work/sources.list.d/$(basename "$f")"
done

# Hooks that refresh system-wide caches after an update are meant for the system lists.
cat >"$work/apt.conf" <<EOF
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "$work/sources.list.d";
Dir::State::Lists "$work/lists";
Dir::Cache "$work/cache";
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
EOF

# apt downloads as its sandbox user, which must be able to write the download dir.
if [ -n "${sandbox_user:-}" ] && id "$sandbox_user" >/dev/null 2>&1; then
  chown "$sandbox_user" "$work/dl"
fi

apt=(apt-get -c "$work/apt.conf" -qq)
export DEBIAN_FRONTEND=noninteractive
# A third-party repository without sources must not stop us; its errors are shown
# only if the source package then cannot be had.
"${apt[@]}" update >"$work/update.log" 2>&1 </dev/null || true
if ! (cd "$work/dl" && "${apt[@]}" source --download-only "$src_pkg=$src_ver" >"$work/source.log" 2>&1 </dev/null); then
  cat "$work/update.log" "$work/source.log" >&2
  die "could not download $src_pkg $src_ver (superseded in the archive? upgrade $dev_pkg)"
fi

shopt -s nullglob
orig=("$work/dl/${src_pkg}_"*.orig.tar.*)
deb=("$work/dl/${src_pkg}_"*.debian.tar.*)
if [ ${#orig[@]} -ne 1 ] || [ ${#deb[@]} -ne 1 ]; then
  die "unexpected files: $(ls "$work/dl")"
fi

# Only the two compiled libraries (plus the licence) are needed; headers come from the host.
members=(libs/program_options/src libs/program_options/build
         libs/filesystem/src libs/filesystem/build libs/filesystem/config
         LICENSE_1_0.txt)
top=$( (tar -tf "${orig[0]}" 2>/dev/null || true) | head -n1 | cut -d/ -f1)
[ -n "$top" ] || die "cannot read ${orig[0]}"
mkdir -p "$stage"
tar -xf "${orig[0]}" -C "$stage" --strip-components=1 "${members[@]/#/$top/}"
tar -xf "${deb[0]}" -C "$work" debian/patches debian/copyright

# Apply, in series order, the parts of Debian's patches that touch those paths.
applied=()
if [ -f "$work/debian/patches/series" ]; then
  while read -r name _; do
    case $name in ''|'#'*) continue ;; esac
    p=$work/debian/patches/$name
    [ -f "$p" ] || die "missing Debian patch $name"
    filterdiff -p1 -i 'libs/program_options/*' -i 'libs/filesystem/*' "$p" >"$work/filtered.patch"
    if [ -s "$work/filtered.patch" ]; then
      patch -d "$stage" -p1 -s -N --no-backup-if-mismatch <"$work/filtered.patch" ||
        die "Debian patch $name does not apply"
      applied+=("$name")
    fi
  done <"$work/debian/patches/series"
fi

mkdir -p "$stage/debian"
cp "$work/debian/copyright" "$stage/debian/copyright"
: >"$stage/debian/applied-patches"
[ ${#applied[@]} -eq 0 ] || printf '%s\n' "${applied[@]}" >"$stage/debian/applied-patches"
echo "$src_id" >"$stage/.debian-version"
rm -rf "$dest"
mv "$stage" "$dest"
echo "boost sources ready in $dest (${#applied[@]} Debian patches applied, $((SECONDS - start))s)"
