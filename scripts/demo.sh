#!/usr/bin/env bash
# The main job: sets up the machine, builds both targets, and runs the demonstration update cycle
# with the native loader and with the Windows executable under Wine; then the whole path of an
# update, published to a web server on 127.0.0.1, staged by velmora-update and installed by the
# loader when the application restarts into it, natively and under Wine (a signed installation too).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
python3 demo/demo.py linux
scripts/with-wine-display.sh python3 demo/demo.py windows
python3 demo/update_path.py linux
scripts/with-wine-display.sh python3 demo/update_path.py windows
