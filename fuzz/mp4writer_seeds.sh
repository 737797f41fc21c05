#!/usr/bin/env bash
# Seeds for mp4writer_fuzz, in its input layout: video type, width/4,
# height/4, pix_fmt, two rate bytes (non-zero: 25/1), audio type, channel and
# sample-format bytes, rate byte (non-zero: 48000), file type; then frames
# of kind, pts step (and dts step unless kind bit 1), size/4 and data.
set -euo pipefail
out=$1
seed() { printf "$1" > "$out/$2"; }
frames='\001\100\040\001\101\101\101\101\000\100\100\002\000\000\001\145\210\204\003\101\060\002\377\361\120\200'
# h264 (video 1) with aac (audio 1) into .mp4 (extension 0)
seed "\001\120\074\000\001\001\001\001\000\001\000$frames$frames" h264-aac-mp4
# mp2 only (video 0, audio 3) into .mov (extension 1), a time at the end of the range
seed "\000\000\000\000\001\001\003\001\000\001\001\003\377\177\377\377\377\377\377\377\377\001AAAA$frames" mp2-mov
# hevc (video 2) with ac3 (audio 5) into .ts (extension 2)
seed "\002\120\074\000\001\001\005\001\000\001\002$frames$frames$frames" hevc-ac3-ts
