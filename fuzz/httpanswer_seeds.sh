#!/usr/bin/env bash
# Seeds for httpanswer_fuzz: the first byte is the piece size, the rest one
# answer of each shape the reader handles differently.
set -euo pipefail
out=$1
seed() { printf '%b' "$2" > "$out/$1"; }
seed ok '\x07HTTP/1.1 200 OK\r\nContent-Length: 31\r\n\r\n{"a":1,"b":[2,3],"c":{"d":"e"}}'
seed chunked '\x03HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\n{"k"\r\n5\r\n:"v"}\r\n0\r\n\r\n'
seed status '\x40HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\n\r\nnope!'
seed upgrade '\xffHTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n'
seed nolength '\x10HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{"a":-1}'
seed continue '\x10HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}'
