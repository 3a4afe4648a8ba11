#!/usr/bin/env bash
# Sets up the machine, builds both targets and runs every test: natively, then the Windows build
# under Wine with a virtual display, then builds two releases to compare their bytes and an older
# commit's programs to install a release over. Needs no display and no input.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
status=0
ctest --preset linux || status=1
scripts/fuzz.sh || status=1
scripts/with-wine-display.sh ctest --preset windows || status=1
# Two releases in two fresh clones, and a release over programs of an older commit: minutes of
# building, so only here.
tests/release/reproducible.sh || status=1
tests/release/old_installations.sh || status=1
exit "$status"
