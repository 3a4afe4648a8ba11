#!/usr/bin/env bash
# The main job: sets up the machine, builds both targets, and runs the demonstration update cycle
# with the native loader and with the Windows executable under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
python3 demo/demo.py linux
scripts/with-wine-display.sh python3 demo/demo.py windows
