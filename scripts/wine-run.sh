#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's prefix; CTest's emulator for the
# Windows build. The exit code is the program's (Wine reports -1 as 255).
source "$(dirname "$0")/wine-env.sh"
exec "${wine_loader[@]}" "$@"
