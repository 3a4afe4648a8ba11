#!/usr/bin/env bash
# Writes the third-party notices of the programs built in each BUILD_DIR to standard output: the
# Windows loader and updater (Velmora.map, velmora-update.map) and the publisher's velmora-feed
# (velmora-feed.map), wherever each was built: the copyright file of every Debian package their
# code comes from, as Debian ships it. The packages are found from the builds themselves, in the
# headers the compiler read (ninja's dependencies) and the objects the linker took in (the link
# maps), so nothing linked in later ships without its notice. The headers are those of every
# object built there: scripts/release.sh builds the shipped programs alone.
#   notices.sh BUILD_DIR...
set -euo pipefail
die() { echo "notices: $*" >&2; exit 1; }
[ $# -ge 1 ] || die "usage: notices.sh BUILD_DIR..."
repo=$(cd "$(dirname "$0")/.." && pwd -P)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

builds=() boosts=() programs=()
for dir in "$@"; do
  build=$(realpath -e "$dir")
  maps=()
  for program in Velmora velmora-update velmora-feed; do
    [ ! -f "$build/$program.map" ] || { maps+=("$build/$program.map"); programs+=("$program"); }
  done
  [ ${#maps[@]} -gt 0 ] || die "no link map in $build: build the programs first"
  builds+=("$build")
  # The Windows build compiles Boost from Debian's source package in its cache.
  cache=$(sed -n 's/^VELMORA_BOOST_CACHE_DIR:PATH=//p' "$build/CMakeCache.txt")
  [ -z "$cache" ] || boosts+=("$(realpath -e "$cache/src")")
  {
    ninja -C "$build" -t deps | sed -n 's/^    //p'
    awk '/^Archive member included/ { on = 1; next } /^(Discarded input sections|Merging program properties|Allocating common)/ { on = 0 }
         on && /^[^ ].*\)$/ { sub(/\([^()]*\)$/, ""); print }
         /^LOAD / && NF == 2 && $2 !~ /\.a$/ { print $2 }' "${maps[@]}"
  } | (cd "$build" && xargs -d '\n' realpath -e --) >>"$work/found"
done
LC_ALL=C sort -u "$work/found" >"$work/used"
boost=${boosts[0]:-/nonexistent}

# The compiled Boost libraries come from Debian's source package in the cache; the rest of this
# checkout is ours; everything else must belong to an installed package.
: >"$work/owned"
awk -F '\t' -v boost="$boost/" -v repo="$repo/" -v builds="${builds[*]/%//}" -v owned="$work/owned" '
  BEGIN { n = split(builds, build, " ") }
  index($0, boost) == 1 { print $0 "\tboost-source" >owned; next }
  index($0, repo) == 1 { next }
  { for (i = 1; i <= n; i++) if (index($0, build[i]) == 1) next; print }' "$work/used" >"$work/system"
{ xargs -r -d '\n' dpkg-query -S <"$work/system" 2>/dev/null || true; } |
  awk -F ': ' '!/^diversion by/ { n = split($1, p, ", "); for (i = 1; i <= n; i++) print $2 "\t" p[i] }' >>"$work/owned"
unowned=$(cut -f1 "$work/owned" | LC_ALL=C sort -u | LC_ALL=C comm -23 "$work/system" -)
[ -z "$unowned" ] || die "in the programs but from no Debian package, so no notice covers it: $unowned"

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
  [ -r "$copyright" ] || die "cannot read $copyright: the notices would leave out $id, whose code is in the programs"
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
    boost*) echo "Boost: headers, Boost.ProgramOptions, Boost.Filesystem and Boost.JSON (for Windows built from source)" ;;
    mingw-w64) echo "mingw-w64: C runtime, winpthreads, Windows headers and import libraries" ;;
    gcc-mingw-w64) echo "GCC runtime libraries: libstdc++, libgcc" ;;
    gcc-[0-9]*) echo "GCC runtime libraries (Linux, velmora-feed): libstdc++, libgcc" ;;
    glibc) echo "GNU C Library (Linux, velmora-feed)" ;;
    openssl) echo "OpenSSL (Linux, velmora-feed): libcrypto" ;;
    linux) echo "Linux kernel headers (Linux, velmora-feed)" ;;
    *) echo "$1" ;;
  esac
}
rule=$(printf '%072d' 0 | tr 0 =)
shipped=$(printf '%s\n' "${programs[@]}" | sed 's/^Velmora$/Velmora.exe/; s/^velmora-update$/velmora-update.exe/' |
  awk '!seen[$0]++' | paste -sd, | sed 's/,\([^,]*\)$/ and \1/; s/,/, /g')
cat <<EOF
Third-party notices of $shipped

The programs hold code of the software below, as Debian packages it. Each section names the
packages the code comes from and what the programs take of each, then gives their copyright files.
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
