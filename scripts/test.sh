#!/usr/bin/env bash
# Installs what is missing, builds, starts the test services and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/install-deps.sh
scripts/build.sh "$@"
scripts/check-host-build.sh
eval "$(scripts/services.sh start)"
trap '"$root/scripts/services.sh" stop' EXIT
cd "${BV_BUILD_DIR:-build}"
ctest --output-on-failure
