# Sourced by the scripts that run Windows programs: one private Wine prefix for the project,
# no debug chatter, no Mono or Gecko installer prompts, UTF-8 so non-ASCII arguments survive.
repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${VELMORA_WINEPREFIX:-$repo_root/build/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINELOADER=/usr/lib/wine/wine64
export LANG=C.UTF-8 LC_ALL=C.UTF-8

# Wine 8 without its preloader (Debian ships none) now and then fails to start a program before it
# runs, about once in a few thousand starts: "failed to map the shared user data", exit 1, nothing
# printed with the debug channels off. With the address space laid out the same way every time it
# was not seen once in 23,400 starts, and every program Wine starts inherits that layout. Where the
# layout cannot be fixed (a sandbox that forbids it), Wine runs as it is.
wine_loader=("$WINELOADER")
if setarch "$(uname -m)" --addr-no-randomize true 2>/dev/null; then
  wine_loader=("$(command -v setarch)" "$(uname -m)" --addr-no-randomize "$WINELOADER")
fi
# The same command for programs that start Wine themselves (the benchmarks); no blanks in it.
export VELMORA_WINE_COMMAND="${wine_loader[*]}"
