#!/usr/bin/env bash
# Seeds for wavreader_fuzz: one WAV file per header the reader tells apart
# (plain and extensible PCM, 8 and 16 bits, and a compressed sub-format).
set -euo pipefail
out=$1
seed() {
  ffmpeg -v error -nostdin -y -f lavfi -i sine=sample_rate=8000:duration=0.05 "$@" \
    -f wav "$out/$RANDOM.wav"
}
seed -c:a pcm_s16le
seed -c:a pcm_u8 -ac 2
seed -c:a pcm_s16le -ac 3                 # extensible: more than two channels
seed -c:a pcm_alaw -ar 96000              # extensible: A-law above 48 kHz
