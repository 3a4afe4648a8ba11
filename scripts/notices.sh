#!/usr/bin/env bash
# Writes the third-party notices of the Windows loader and updater built in BUILD_DIR to standard
# output: the copyright file of every Debian package their code comes from, as Debian ships it. The
# packages are found from the build itself, in the headers the compiler read (ninja's dependencies)
# and the objects the linker took in (Velmora.map, and velmora-update.map where it was built), so
# nothing linked in later ships without its notice. The headers are those of every object built
# there: scripts/release.sh builds the two programs alone.
#   notices.sh BUILD_DIR
set -euo pipefail
die() { echo "notices: $*" >&2; exit 1; }
[ $# -eq 1 ] || die "usage: notices.sh BUILD_DIR"
build=$(realpath -e "$1")
repo=$(cd "$(dirname "$0")/.." && pwd -P)
[ -f "$build/Velmora.map" ] || die "no link map $build/Velmora.map: build the loader first"
maps=("$build/Velmora.map")
[ ! -f "$build/velmora-update.map" ] || maps+=("$build/velmora-update.map")
boost=$(realpath -e "$(sed -n 's/^VELMORA_BOOST_CACHE_DIR:PATH=//p' "$build/CMakeCache.txt")/src")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

{
  ninja -C "$build" -t deps | sed -n 's/^    //p'
  awk '/^Archive member included/ { on = 1; next } /^Discarded input sections/ { on = 0 }
       on && /^[^ ].*\)$/ { sub(/\([^()]*\)$/, ""); print }
       /^LOAD / && NF == 2 && $2 !~ /\.a$/ { print $2 }' "${maps[@]}"
} | (cd "$build" && xargs -d '\n' realpath -e --) | LC_ALL=C sort -u >"$work/used"

# The compiled Boost libraries come from Debian's source package in the cache; the rest of this
# checkout is ours; everything else must belong to an installed package.
: >"$work/owned"
awk -F '\t' -v boost="$boost/" -v repo="$repo/" -v build="$build/" -v owned="$work/owned" '
  index($0, boost) == 1 { print $0 "\tboost-source" >owned; next }
  index($0, repo) != 1 && index($0, build) != 1' "$work/used" >"$work/system"
{ xargs -r -d '\n' dpkg-query -S <"$work/system" 2>/dev/null || true; } |
  awk -F ': ' '!/^diversion by/ { n = split($1, p, ", "); for (i = 1; i <= n; i++) print $2 "\t" p[i] }' >>"$work/owned"
unowned=$(cut -f1 "$work/owned" | LC_ALL=C sort -u | LC_ALL=C comm -23 "$work/system" -)
[ -z "$unowned" ] || die "in the loader but from no Debian package, so no notice covers it: $unowned"

# A line a package: its id, its source package, its name and version, the name its copyright file
# goes by, and that file.
while read -r id; do
  if [ "$id" = boost-source ]; then
    read -r source version <"$boost/.debian-version"
    printf '%s\t%s\t%s\t%s\t%s\n' "$id" "$source" "$source $version (Debian source package, compiled here)" \
      "$source (source)" "$boost/debian/copyright"
  else
    IFS=$'\t' read -r source version < <(dpkg-query -W -f '${source:Package}\t${Version}\n' "$id")
    printf '%s\t%s\t%s\t%s\t%s\n' "$id" "$source" "${id%%:*} $version" "${id%%:*}" "/usr/share/doc/${id%%:*}/copyright"
  fi
done < <(cut -f2 "$work/owned" | LC_ALL=C sort -u) >"$work/packages"
# Better no release than one whose notices leave a package out.
while IFS=$'\t' read -r id _ _ _ copyright; do
  [ -r "$copyright" ] || die "cannot read $copyright: the notices would leave out $id, whose code is in the loader"
done <"$work/packages"

# What each package gives: the objects linked in, then its headers or the Boost libraries' sources.
declare -A gives
while IFS=$'\t' read -r id _ what; do
  gives[$id]+="${gives[$id]:+, }$what"
done < <(awk -F '\t' -v boost="$boost/" '
  index($1, boost) == 1 { split(substr($1, length(boost) + 1), p, "/"); print $2 "\t1\t" p[1] "/" p[2]; next }
  $1 ~ /\/include[^\/]*\// { print $2 "\t1\theaders"; next }
  { n = split($1, p, "/"); print $2 "\t0\t" p[n] }' "$work/owned" | LC_ALL=C sort -t $'\t' -k1,1 -k2,2n -k3,3 -u)

title() {
  case $1 in
    boost*) echo "Boost: headers, and Boost.ProgramOptions, Boost.Filesystem and Boost.JSON built from source" ;;
    mingw-w64) echo "mingw-w64: C runtime, winpthreads, Windows headers and import libraries" ;;
    gcc-mingw-w64) echo "GCC runtime libraries: libstdc++, libgcc" ;;
    *) echo "$1" ;;
  esac
}
rule=$(printf '%072d' 0 | tr 0 =)
cat <<EOF
Third-party notices of Velmora.exe and velmora-update.exe

Velmora.exe and velmora-update.exe hold code of the software below, as Debian packages it. Each
section names the packages the code comes from and what the programs take of each, then gives
their copyright files.
EOF
while read -r source; do
  printf '\n%s\n%s\n' "$rule" "$(title "$source")"
  # Packages of one source often ship the same copyright file: each text once.
  declare -A names=() files=()
  sums=()
  while IFS=$'\t' read -r id _ label name copyright; do
    printf '  %s: %s\n' "$label" "${gives[$id]}"
    sum=$(sha256sum <"$copyright")
    [ -n "${names[$sum]:-}" ] || sums+=("$sum")
    names[$sum]+="${names[$sum]:+, }$name" files[$sum]=$copyright
  done < <(awk -F '\t' -v s="$source" '$2 == s' "$work/packages" | LC_ALL=C sort -t $'\t' -k3)
  for sum in "${sums[@]}"; do
    printf '%s\nThe copyright file of %s:\n\n' "${rule//=/-}" "${names[$sum]}"
    cat "${files[$sum]}"
  done
done < <(cut -f2 "$work/packages" | LC_ALL=C sort -u)
