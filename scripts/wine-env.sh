# Sourced by the scripts that run Windows programs: one private Wine prefix for the project,
# no debug chatter, no Mono or Gecko installer prompts, UTF-8 so non-ASCII arguments survive.
repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${VELMORA_WINEPREFIX:-$repo_root/build/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINELOADER=/usr/lib/wine/wine64
export LANG=C.UTF-8 LC_ALL=C.UTF-8
