#!/usr/bin/env bash
# Configures and builds both targets: build/linux/Velmora.exe and build/windows/Velmora.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in linux windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
