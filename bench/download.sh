#!/usr/bin/env bash
# Downloads a generated posting from the local news server with quivern-get and prints
#   download_MBps=…  cpu_s_per_GB=…  peak_rss_MB=…
# Usage: bench/download.sh [--size-mb N] [--files N] [--connections N] [--tls] [--par2] [--budget-mb N] [--bin DIR] [--work DIR]
# Defaults: a 1 GB posting of 10 files over 8 connections, release binaries. With --par2 the posting
# carries a PAR2 set, so the store also takes each file's MD5 while writing it.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mb=1024 files=10 connections=8 tls=0 par2=0 budget_mb= bin=build/release/bin work=${TMPDIR:-/tmp}/quivern-bench-download
while [ $# -gt 0 ]; do
  case "$1" in
    --size-mb) size_mb=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --tls) tls=1; shift ;;
    --par2) par2=1; shift ;;
    --budget-mb) budget_mb=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) echo "usage: $0 [--size-mb N] [--files N] [--connections N] [--tls] [--par2] [--budget-mb N] [--bin DIR] [--work DIR]" >&2; exit 2 ;;
  esac
done
for tool in quivern-get quivern-newsd quivern-mkposting; do
  [ -x "$bin/$tool" ] || { echo "build the release preset first: $bin/$tool is missing" >&2; exit 2; }
done
file_size=$(( size_mb * 1024 * 1024 / files ))
posting="$work/posting-$size_mb-$files-$par2"
if [ ! -f "$posting/bench.nzb" ]; then
  rm -rf "$posting"
  extra=(); [ "$par2" = 1 ] && extra=(--par2)
  "$bin/quivern-mkposting" "$posting" --name bench --files "$files" --size "$file_size" --segment 716800 "${extra[@]}" >/dev/null
fi
rm -rf "$work/out" "$work/config"; mkdir -p "$work/out" "$work/config/quivern"
# The segment store's memory budget (MiB); the program's default is 512.
if [ -n "$budget_mb" ]; then printf '[General]\nStoreMemoryLimitMB=%s\n' "$budget_mb" > "$work/config/quivern/Config.ini"; fi
server_args=(--articles "$posting/articles" --port-file "$work/ports")
client_tls=()
if [ "$tls" = 1 ]; then
  ./scripts/make-test-certs.sh "$work/certs" >/dev/null
  server_args+=(--no-plain --tls-port 0 --cert "$work/certs/server.pem" --key "$work/certs/server.key")
  client_tls=(--tls --accept-untrusted-cert)
fi
rm -f "$work/ports"
"$bin/quivern-newsd" "${server_args[@]}" >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/ports" ] && break; sleep 0.1; done
key=plain; [ "$tls" = 1 ] && key=tls
port=$(sed -n "s/^$key=//p" "$work/ports")
# A first pass warms the server's article cache, so the measured pass sees the client's cost.
XDG_CONFIG_HOME="$work/config" "$bin/quivern-get" download "$posting/bench.nzb" --server "127.0.0.1:$port" \
  "${client_tls[@]}" --connections "$connections" --out "$work/out" --no-postproc >/dev/null 2>&1
rm -rf "$work/out"; mkdir -p "$work/out"
XDG_CONFIG_HOME="$work/config" /usr/bin/time -f 'cpu=%U+%S rss=%M' -o "$work/time.txt" \
  "$bin/quivern-get" download "$posting/bench.nzb" --server "127.0.0.1:$port" "${client_tls[@]}" \
  --connections "$connections" --out "$work/out" --no-postproc > "$work/result.txt" 2>/dev/null
done_line=$(tail -n1 "$work/result.txt")
bytes=$(sed -n 's/.* bytes=\([0-9]*\).*/\1/p' <<<"$done_line")
seconds=$(sed -n 's/.* seconds=\([0-9.]*\).*/\1/p' <<<"$done_line")
missing=$(sed -n 's/.* missing=\([0-9]*\).*/\1/p' <<<"$done_line")
cpu=$(sed -n 's/cpu=\([0-9.+]*\) .*/\1/p' "$work/time.txt" | bc -l)
rss_kb=$(sed -n 's/.* rss=\([0-9]*\)/\1/p' "$work/time.txt")
echo "posting_bytes=$bytes"
echo "connections=$connections"
echo "tls=$tls"
echo "par2=$par2"
echo "missing_articles=$missing"
echo "seconds=$seconds"
echo "cpu_s_per_GB=$(echo "scale=3; $cpu / ($bytes / 1000000000)" | bc -l)"
echo "peak_rss_MB=$(( rss_kb / 1024 ))"
echo "download_MBps=$(echo "scale=1; $bytes / 1000000 / $seconds" | bc -l)"
