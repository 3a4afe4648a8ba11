#!/usr/bin/env bash
# Runs a command with a ready Wine prefix and a virtual display (so message boxes appear and can
# be read back), then stops the Wine server and the display again.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"

display_number=90
while [ -e "/tmp/.X${display_number}-lock" ] || [ -e "/tmp/.X11-unix/X${display_number}" ]; do
  display_number=$((display_number + 1))
done
Xvfb ":${display_number}" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
stop() {
  wineserver -k >/dev/null 2>&1 || true
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
}
trap stop EXIT

# The Wine server keeps the display it started with: start afresh on this one.
wineserver -k >/dev/null 2>&1 || true
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display_number}" ] && break; sleep 0.1; done
export DISPLAY=":${display_number}"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  "${wine_loader[@]}" wineboot --init >/dev/null 2>&1
fi
wineserver -w >/dev/null 2>&1 || true
# Drive Q:, an empty folder of the prefix, for the tests of a loader at the root of a drive. Wine's
# mount manager takes only the drives that exist when it starts.
rm -rf "$WINEPREFIX/drive_q" && mkdir "$WINEPREFIX/drive_q"
ln -sfn ../drive_q "$WINEPREFIX/dosdevices/q:"
# Keep one server and Wine's own services running for the whole command, so each program starts
# warm, and start the services here: a service started on demand would inherit the standard
# output of the program that needed it and hold a test's pipe open after that program ended.
wineserver -p >/dev/null 2>&1
"${wine_loader[@]}" net start RpcSs </dev/null >/dev/null 2>&1 || true
# The same for the desktop process, which the first program that touches a window would start. It
# ends a moment after no program uses it any more, and the next program that needs it starts it
# again: a program kept open for the whole command (it ends with the Wine server) keeps it in use.
"${wine_loader[@]}" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
"${wine_loader[@]}" notepad.exe </dev/null >/dev/null 2>&1 &

"$@"
