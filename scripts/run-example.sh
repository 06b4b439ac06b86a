#!/usr/bin/env bash
# Builds the release preset and runs the main job on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
if [ -x build/release/tools/qel/qel ]; then
  build/release/tools/qel/qel show examples/settings.qel
else
  build/release/examples/demo/qel_demo
fi
