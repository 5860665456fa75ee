#!/usr/bin/env bash
# Quick start: installs what is missing, builds, and plays. Without arguments
# it plays the built-in default; arguments are passed to bvplay.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
exec "${BV_BUILD_DIR:-build}/tools/bvplay/bvplay" "$@"
