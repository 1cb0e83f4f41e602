#!/usr/bin/env bash
# CRC-32 against ISA-L's crc32_gzip_refl on the same buffer in the same run (bench/crc32 links
# ISA-L when the build finds libisal-dev, which is installed here when missing).
#
#   bench/compare-crc32.sh [BUILD_DIR] [FILE]
#
# BUILD_DIR holds the release build (default build/perf-rel); FILE is read into memory first
# (default: 128 MiB of random bytes). Prints both figures and last ours_to_isal=.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/perf-rel}
shift || true

if ! dpkg-query -W -f='${Status}' libisal-dev 2>/dev/null | grep -q 'install ok installed'; then
  "$root/scripts/install-deps.sh" >/dev/null
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target crc32 >/dev/null

out=$("$build/bin/crc32" "$@")
if ! echo "$out" | grep -q '^isal_crc32='; then
  echo "ISA-L was not found by the build" >&2
  exit 1
fi
ours=$(echo "$out" | sed -n 's/^crc32=//p')
theirs=$(echo "$out" | sed -n 's/^isal_crc32=//p')
echo "$out" | grep -E '^(bytes|crc32_cached_GBps|isal_crc32_cached_GBps)='
echo "crc32=$ours"
echo "isal_crc32=$theirs"
[ "$ours" = "$theirs" ] && echo "results_match=1" || echo "results_match=0"
echo "$out" | grep -E '^(isal_crc32_GBps|crc32_GBps)='
echo "$out" | grep -E '^ours_to_isal='
