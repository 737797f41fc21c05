#!/usr/bin/env bash
# Seeds for mp4reader_fuzz: small MP4 files made with ffmpeg, plain and
# fragmented, one per kind of stream the reader delivers differently.  The
# byte in front of each file makes the fuzzer open it whole (255) or cut.
set -euo pipefail
out=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seed() {
  local name=$1
  shift
  ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=32x24:rate=15:duration=0.6 \
    -f lavfi -i sine=sample_rate=16000:duration=0.6 "$@" "$work/$name.mp4"
  for cut in '\xff' '\x80'; do
    { printf "$cut"; cat "$work/$name.mp4"; } > "$out/$name-$RANDOM.bin"
  done
}
seed avc -c:v libx264 -preset ultrafast -bf 2 -g 4 -c:a aac -b:a 16k
seed hevc -c:v libx265 -preset ultrafast -x265-params log-level=none -g 4 -an
seed aac -vn -c:a aac -b:a 16k
seed mp3 -c:v mpeg4 -g 4 -c:a libmp3lame
seed frag -c:v libx264 -preset ultrafast -g 3 -c:a aac -b:a 16k \
  -movflags frag_keyframe+empty_moov+default_base_moof
