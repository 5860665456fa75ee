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

# A program searches only its library's directory: an empty RUNPATH entry would be the current
# directory. The installed bvplay keeps none of the build tree's.
for program in "$build_dir/tools/bvplay/bvplay" "$scratch/build/bvplay"; do
  if readelf -d "$program" | grep -Eq 'RUNPATH.*(\[:|::|:\])'; then
    echo "$program searches the current directory for libraries" >&2
    exit 1
  fi
done
if readelf -d "$scratch/prefix/bin/bvplay" | grep -q RUNPATH; then
  echo "the installed bvplay keeps a build tree's RUNPATH" >&2
  exit 1
fi
echo "bvplay finds its library through exact RUNPATHs"

# The installed library finds its modules beside itself: the HLS demo (AAC, timed ID3 titles)
# plays with the prefix's FFmpeg and TagLib modules mapped.
"$scratch/build/bvplay" --device 0 --duration 4 --demo hls --json > "$scratch/hls.json" &
pid=$!
modules="$PWD/$scratch/prefix/lib/brevantplayer"
found=0
for _ in $(seq 30); do
  sleep 0.1
  if grep -q "$modules/libbvaudio-ffmpeg.so" "/proc/$pid/maps" 2>/dev/null \
    && grep -q "$modules/libbv-id3-taglib.so" "/proc/$pid/maps" 2>/dev/null; then found=1; break; fi
done
wait "$pid"
if [ "$found" != 1 ] || ! grep -q '"PlayingState"' "$scratch/hls.json" \
  || ! grep -q '"property":"meta","t":[0-9.]*,"value":"BrevantPlayer Demo' "$scratch/hls.json"; then
  echo "the installed bvplay did not play AAC with its titles through the installed FFmpeg and TagLib modules" >&2
  exit 1
fi
echo "the installed library loads its FFmpeg and TagLib modules"

# ... and its libcurl module for https (the port refuses: the module is loaded for the attempt).
curl_module="$PWD/$scratch/prefix/lib/brevantplayer/libbvaudio-curl.so"
loads=$(LD_DEBUG=files "$scratch/build/bvplay" --device 0 --no-restart https://127.0.0.1:1/x.mp3 2>&1 || true)
if ! grep -q "file=$curl_module .*dynamically loaded" <<<"$loads"; then
  echo "the installed bvplay did not load the installed libcurl module for https" >&2
  exit 1
fi
echo "the installed library loads its libcurl module"
