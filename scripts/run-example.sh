#!/usr/bin/env bash
# Builds the release preset (the library and the qel tool) and runs the main
# job on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release
build/release/tools/qel/qel show examples/settings.qel
