#!/usr/bin/env bash
# Seeds for devreply_fuzz: records of (sender, length, datagram) holding
# well-formed replies, a repeated device, and a reply cut short.
set -euo pipefail
out=$1
byte() { printf "\\x$(printf %02x "$1")"; }
reply() {  # mac and id byte, uri
  printf 'XEDA\x02\x00\x00\x00\x00'; byte "$1"
  printf '\x00\x00\x00'; byte "$1"
  printf '\x1f\x90\x00\x00\x00'; byte "${#2}"
  printf '%s' "$2"
}
record() {  # sender, datagram file
  byte "$1"; byte "$(wc -c < "$2")"; cat "$2"
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
reply 1 /api > "$tmp/a"
reply 2 "" > "$tmp/b"
reply 3 /device/3/control > "$tmp/c"
head -c 19 "$tmp/c" > "$tmp/short"
{ record 0 "$tmp/a"; record 0 "$tmp/a"; record 1 "$tmp/a"; record 0 "$tmp/b"; } > "$out/repeat"
{ record 0 "$tmp/c"; record 2 "$tmp/short"; record 0 "$tmp/b"; } > "$out/short"
for i in $(seq 1 20); do reply "$i" "/d$i" > "$tmp/r$i"; record 0 "$tmp/r$i"; done > "$out/many"
