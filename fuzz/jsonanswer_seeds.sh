#!/usr/bin/env bash
# Seeds for jsonanswer_fuzz: answer bodies with every kind of value.
set -euo pipefail
out=$1
printf '%s' '{"a":1,"b":{"c":2},"d":[3,4],"e":-5,"f":"x"}' > "$out/mixed"
printf '%s' '{"n":null,"t":true,"f":false,"big":18446744073709551615,"x":-1.5e-3}' > "$out/kinds"
printf '%s' '{"q":"a\"b\\c\n\u00e9\ud83d\ude00","":1}' > "$out/escapes"
printf '%s' '[[[{"deep":[1,[2]]}]]]' > "$out/nested"
