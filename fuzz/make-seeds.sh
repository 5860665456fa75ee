#!/usr/bin/env bash
# Writes each harness's seed corpus into DIR/<harness>/ from texts made here.
set -euo pipefail
out="$1"
mkdir -p "$out"/{fuzz_icy_demuxer,fuzz_playlist_reader,fuzz_net_request,fuzz_playlist_formats}

# ICY: interval byte (x16), piece size byte, then audio and metadata blocks.
icy_block() { # TITLE -> length byte and padded text
  local text="StreamTitle='$1';StreamUrl='';"
  local blocks=$(( (${#text} + 15) / 16 ))
  printf "\\$(printf '%03o' "$blocks")%s" "$text"
  head -c $(( blocks * 16 - ${#text} )) /dev/zero
}
{ printf '\001\007'; head -c 16 /dev/urandom; icy_block "Guns N' Roses - Sweet Child O' Mine"; head -c 16 /dev/urandom; } \
  > "$out/fuzz_icy_demuxer/titles"
{ printf '\001\377'; head -c 16 /dev/zero; printf '\000'; head -c 16 /dev/zero; printf 'B\x6a\xf6rk'; } \
  > "$out/fuzz_icy_demuxer/empty-and-latin1"

r="$out/fuzz_playlist_reader"
printf 'http://radio.test/list.pls\n[playlist]\nNumberOfEntries=2\nFile1=http://a.test/live\nTitle1=A\nFile2=b.mp3\n' > "$r/pls"
printf 'http://radio.test/list.m3u\n#EXTM3U\n#EXTINF:-1,Radio\nhttp://a.test/live\n\nrelative/b.aac\n' > "$r/m3u"
printf '/home/user/list.m3u\n/music/a.mp3\r\nfile:///music/b.mp3\r\n' > "$r/local"
printf 'http://radio.test/x\n#EXTM3U\n#EXT-X-TARGETDURATION:6\nseg.ts\n' > "$r/hls"

n="$out/fuzz_net_request"
printf 'http://radio.test/live.mp3\r\nUser-Agent: A/1\r\nReferer: http://r.test/\r\nAuthorization: Basic eDp5\r\n' > "$n/full"
printf '  http://radio.test/with space\xc3\xa9.mp3?q="x"  \r\n\r\n\r\n' > "$n/encoded"

f="$out/fuzz_playlist_formats"
printf '#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS="mp4a.40.2"\nhi/index.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=64000,AVERAGE-BANDWIDTH=60000\n/abs/lo.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=1\nfile:///etc/passwd\n' > "$f/hls-master"
printf '#EXTM3U\n#BANDWIDTH:96000\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nseg1.ts\n' > "$f/hls-media"
printf '[{"streamUrl":"http://a.test/lo","bandwidth":32000},{"streamUrl":"file:///etc/passwd","bandwidth":1},{"streamUrl":"x"}]' > "$f/json"
printf '128, 64' > "$f/icy-br"
