#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang into build-fuzz/ (or $BV_FUZZ_DIR),
# makes their seed corpora and runs each for SECONDS (default 60).
# Findings (crash-*, leak-*, timeout-*) land in build-fuzz/findings/<harness>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
dir="${BV_FUZZ_DIR:-build-fuzz}"
CC=clang CXX=clang++ cmake -S fuzz -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc)" >/dev/null
fuzz/make-seeds.sh "$dir/seeds"
status=0
for harness in fuzz_icy_demuxer fuzz_playlist_reader fuzz_net_request fuzz_playlist_formats fuzz_hls_media_playlist \
    fuzz_hls_demuxer fuzz_daast_parser fuzz_mp3_info; do
  corpus="$dir/corpus/$harness"
  findings="$dir/findings/$harness"
  mkdir -p "$corpus" "$findings"
  if "$dir/$harness" "$corpus" "$dir/seeds/$harness" -max_total_time="$seconds" -max_len=65536 \
      -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$findings/" -print_final_stats=1 \
      >"$dir/$harness.log" 2>&1; then
    echo "$harness: $(grep -m1 '^stat::number_of_executed_units' "$dir/$harness.log" | awk '{print $2}') runs in ${seconds} s, no finding"
  else
    echo "$harness: FINDING, see $dir/$harness.log and $findings/"
    tail -n 30 "$dir/$harness.log"
    status=1
  fi
done
exit $status
