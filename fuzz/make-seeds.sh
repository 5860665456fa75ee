#!/usr/bin/env bash
# Writes each harness's seed corpus into DIR/<harness>/ from texts made here.
set -euo pipefail
out="$1"
mkdir -p "$out"/{fuzz_icy_demuxer,fuzz_playlist_reader,fuzz_net_request,fuzz_playlist_formats,fuzz_hls_media_playlist,fuzz_hls_demuxer,fuzz_daast_parser,fuzz_mp3_info}

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
printf 'http://u%%40:p@[::1]:8000/a/b.mp3?x=1#f\r\n../up/c.mp3?y=http://z\r\n' > "$n/redirect"
printf '4;x=1\r\nWiki\r\nA \r\npedia in\r\n\r\n0\r\nX-T: 1\r\n\r\n' > "$n/chunked"

f="$out/fuzz_playlist_formats"
printf '#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS="mp4a.40.2"\nhi/index.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=64000,AVERAGE-BANDWIDTH=60000\n/abs/lo.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=1\nfile:///etc/passwd\n' > "$f/hls-master"
printf '#EXTM3U\n#BANDWIDTH:96000\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nseg1.ts\n' > "$f/hls-media"
printf '[{"streamUrl":"http://a.test/lo","bandwidth":32000},{"streamUrl":"file:///etc/passwd","bandwidth":1},{"streamUrl":"x"}]' > "$f/json"
printf '128, 64' > "$f/icy-br"
# The shapes that cost a backtracking matcher time growing with the square of the input.
{ printf '#EXTM3U\n'; printf '#EXT-X-STREAM-INF:BANDWIDTH=1BANDWIDTH=%.0s' $(seq 1700); } > "$f/hls-master-one-line"
{ printf '#EXTM3U\n'; printf '#EXT-X-STREAM-INF:BANDWIDTH=64000\n%.0s' $(seq 1900); } > "$f/hls-master-no-uris"

m="$out/fuzz_hls_media_playlist"
printf '#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:4294967295\n#EXTINF:2.048,\nv0_1.ts\n#EXT-X-DISCONTINUITY\n#EXTINF:2,x\n/abs/v0_2.ts?k=1\n#EXTINF:0,\nzero.ts\n#EXTINF:1,\nfile://h/etc/passwd\n#EXTINF:.5,\nhttps://cdn.test/s.ts\n' > "$m/live"

{ printf '#EXTM3U\n#EXT-X-TARGETDURATION:2\n'; printf '#EXTINF:1#EXT-X-DISCONTINUITY%.0s' $(seq 2200); } > "$m/one-line"
{ printf '#EXTM3U\n#EXT-X-TARGETDURATION:2\n'; printf '#EXTINF:1,\n%.0s' $(seq 6000); } > "$m/no-uris"

# A real segment from ffmpeg's HLS muxer with a timed ID3 tag added, when ffmpeg is here.
d="$out/fuzz_hls_demuxer"
tmp=$(mktemp -d)
if ffmpeg -hide_banner -loglevel error -f lavfi -i "sine=frequency=440:duration=1" -c:a aac -b:a 32k \
    -f hls -hls_time 1 -hls_segment_filename "$tmp/s%d.ts" "$tmp/list.m3u8" 2>/dev/null; then
  { printf '\x01\x00'; cat "$tmp/s0.ts"; } > "$d/segment"
fi
rm -rf "$tmp"
# A PES on PID 258 with an ID3v2 tag, in one packet padded with adaptation-field stuffing.
{ printf '\x00\x00\x47\x41\x02\x30\x6b\x00'; head -c 106 /dev/zero | tr '\0' '\377'
  printf '\x00\x00\x01\xbd\x00\x47\x84\x80\x05\x21\x00\x01\x00\x01'
  printf 'ID3\x04\x00\x00\x00\x00\x00\x35TXXX\x00\x00\x00\x2b\x00\x00\x03TXXX\x00Artist - Title with a longer text'; } > "$d/id3-pes"

a="$out/fuzz_daast_parser"
track() { printf '<Tracking event="%s">http://ads.test/t?e=%s</Tracking>' "$1" "$1"; }
{ printf '<?xml version="1.0"?><DAAST version="1.0"><Ad id="a"><InLine><AdSystem>S</AdSystem><AdTitle>T</AdTitle>'
  printf '<Impression><![CDATA[ http://ads.test/i ]]></Impression><Error>http://ads.test/e</Error><Creatives>'
  printf '<Creative><Linear><Duration>00:00:30</Duration><MediaFiles><MediaFile type="video/mp4">http://ads.test/v.mp4</MediaFile>'
  printf '<MediaFile type="audio/mpeg">http://ads.test/a.mp3</MediaFile></MediaFiles><TrackingEvents>'
  track start; track firstQuartile; track progress0; track progress1; track complete
  printf '</TrackingEvents></Linear></Creative><Creative><CompanionAds><Companion>'
  printf '<StaticResource creativeType="image/png">http://ads.test/b.png</StaticResource>'
  printf '<CompanionClickThrough>http://ads.test/l</CompanionClickThrough><CompanionClickTracking>http://ads.test/c</CompanionClickTracking>'
  printf '<TrackingEvents>'; track start; printf '</TrackingEvents></Companion></CompanionAds></Creative></Creatives></InLine></Ad></DAAST>'; } > "$a/daast"
sed 's/DAAST version="1.0"/VAST version="3.0"/; s|</DAAST>|</VAST>|' "$a/daast" > "$a/vast"
printf '<nobanner/>' > "$a/nobanner"
printf '<VAST version="2.0"><Ad><Wrapper><VASTAdTagURI>http://ads.test/next</VASTAdTagURI></Wrapper></Ad></VAST>' > "$a/wrapper"
{ printf '<v:VAST xmlns:v="http://www.iab.com/VAST" version="4.2"><v:Error>http://ads.test/e?c=[ERRORCODE]</v:Error>'
  for s in 2 1; do
    printf '<v:Ad sequence="%s"><v:InLine><v:Impression>http://ads.test/i</v:Impression><v:Creatives><v:Creative>' "$s"
    printf '<v:UniversalAdId>x</v:UniversalAdId><v:Linear><v:TrackingEvents>'
    printf '<v:Tracking event="progress" offset="25%%">http://ads.test/p</v:Tracking></v:TrackingEvents>'
    printf '<v:MediaFiles><v:MediaFile delivery="streaming" type="audio/aac; x=1" bitrate="64">http://ads.test/a.aac</v:MediaFile>'
    printf '<v:MediaFile type="audio/mpeg" minBitrate="96" maxBitrate="160">http://ads.test/a.mp3</v:MediaFile></v:MediaFiles>'
    printf '</v:Linear></v:Creative></v:Creatives></v:InLine></v:Ad>'
  done
  printf '</v:VAST>'; } > "$a/vast42-pod"

# MP3 first frames: an ID3v2 tag, then a Layer III frame with a Xing header and LAME's delay and padding.
p="$out/fuzz_mp3_info"
{ printf 'ID3\x04\x00\x10\x00\x00\x00\x05'; head -c 15 /dev/zero; } > "$p/id3"
{ printf '\xff\xfb\x90\x64'; head -c 32 /dev/zero; printf 'Info\x00\x00\x00\x0f\x00\x00\x00\x76\x00\x01\x00\x00'
  head -c 104 /dev/zero; printf 'LAME3.100\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x24\x03\x57'; head -c 12 /dev/zero; } > "$p/lame"
{ printf '\xff\xfb\x90\x64'; head -c 32 /dev/zero; printf 'VBRI\x00\x01\x02\x40\x00\x00\x00\x00\x13\x88\x00\x00\x00\x21'; } > "$p/vbri"
