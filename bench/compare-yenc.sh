#!/usr/bin/env bash
# yEnc decoding against the yencode package from npm (its incremental NNTP decoder, which also
# undoes dot-stuffing and stops at the "=yend" line), on the same corpus in the same run.
#
#   bench/compare-yenc.sh [BUILD_DIR] [CORPUS]
#
# BUILD_DIR holds the release build (default build/perf-rel); CORPUS is a file of article bodies as
# bench/yenc_decode reads them (default: the corpus yenc_decode generates). yencode is installed
# into BUILD_DIR/peers on first use; it is never part of the program. Prints both figures and last
# ours_to_yencode= (ratio of encoded input bytes per second).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/perf-rel}
corpus=${2:-}
peers=$build/peers

if [ ! -x "$build/bin/yenc_decode" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target yenc_decode >/dev/null
fi
if [ ! -d "$peers/node_modules/yencode" ]; then
  mkdir -p "$peers"
  (cd "$peers" && npm init -y >/dev/null && npm install --no-audit --no-fund yencode >/dev/null)
fi
if [ -z "$corpus" ]; then
  corpus=$build/yenc-corpus.txt
  [ -f "$corpus" ] || "$build/bin/yenc_decode" --save-corpus "$corpus"
fi

ours=$("$build/bin/yenc_decode" "$corpus")

theirs=$(cd "$peers" && node - "$corpus" <<'JS'
const fs = require('fs');
const y = require('yencode');
const input = fs.readFileSync(process.argv[2]);
// The data of each article: from the line after "=ybegin" (and "=ypart") on; the decoder stops by
// itself at "\r\n=y". Cut outside the timing, as the benchmark's own search is inside its timing.
const articles = [];
for (let pos = 0; pos < input.length;) {
  const end = input.indexOf('\r\n.\r\n', pos);
  if (end < 0) break;
  const body = input.subarray(pos, end + 2);
  let start = body.indexOf('=ybegin ');
  if (start >= 0) {
    start = body.indexOf('\r\n', start) + 2;
    if (body.subarray(start, start + 6).toString() === '=ypart') start = body.indexOf('\r\n', start) + 2;
    articles.push(body.subarray(start));
  }
  pos = end + 5;
}
const output = Buffer.alloc(input.length);
let best = Infinity, total = 0, written = 0, crc = 0;
for (let round = 0; round < 20 && (round < 3 || total < 2); ++round) {
  const t0 = process.hrtime.bigint();
  let o = 0;
  for (const a of articles) {
    const r = y.decodeChunk(a, output.subarray(o), null);
    o += r.written;
  }
  const s = Number(process.hrtime.bigint() - t0) / 1e9;
  total += s;
  if (s < best) best = s;
  written = o;
}
console.log('yencode_decoded_bytes=' + written);
console.log('yencode_decoded_crc32=' + y.crc32(output.subarray(0, written)).toString('hex'));
console.log('yencode_MBps=' + (input.length / best / 1e6).toFixed(1));
JS
)

echo "$ours" | grep -E '^(articles|decoded_bytes|decoded_crc32|trailer_mismatches|memcpy_MBps|decode_to_memcpy)='
echo "$theirs"
o=$(echo "$ours" | sed -n 's/^yenc_decode_MBps=//p')
t=$(echo "$theirs" | sed -n 's/^yencode_MBps=//p')
if [ "$(echo "$ours" | sed -n 's/^decoded_crc32=//p')" != "$(echo "$theirs" | sed -n 's/^yencode_decoded_crc32=//p')" ]; then
  echo "outputs_match=0"
else
  echo "outputs_match=1"
fi
echo "yenc_decode_MBps=$o"
echo "ours_to_yencode=$(echo "scale=3; $o / $t" | bc)"
