#!/usr/bin/env bash
# Installs the built library into a scratch prefix and builds bvplay against that
# installed package alone, as any host would (no reach into the source tree).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BV_BUILD_DIR:-build}"
scratch="$build_dir/host-check"
rm -rf "$scratch"
cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null
cmake -S tools/bvplay -B "$scratch/build" -DCMAKE_PREFIX_PATH="$PWD/$scratch/prefix" >/dev/null
cmake --build "$scratch/build" -j "$(nproc)" >/dev/null
echo "bvplay builds against the installed package"
