#!/usr/bin/env bash
# Seeds for tsdemux_fuzz: short transport streams made with ffmpeg, one per
# kind of stream the demultiplexer handles differently.
set -euo pipefail
out=$1
seed() {
  ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=64x48:rate=25:duration=0.4 \
    -f lavfi -i sine=sample_rate=48000:duration=0.4 "$@" -f mpegts "$out/$RANDOM.ts"
}
seed -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a mp2
seed -c:v mpeg2video -c:a ac3
seed -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -mpegts_flags latm
seed -c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params log-level=none -c:a aac
