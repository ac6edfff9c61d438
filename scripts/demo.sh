#!/usr/bin/env bash
# Installs what is missing, builds, and renders the built-in demo patch with grainhost render.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
build/release/tools/grainhost render "$@"
