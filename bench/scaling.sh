#!/usr/bin/env bash
# Cost per byte of quivern-get download --no-postproc against the local news server:
#   by posting size   10 MB, 100 MB, 1 GB, 4 GB, 10 GB (10 files each) over 8 connections; a size
#                     whose posting, articles and output do not fit the free disk space is skipped
#   fixed cost        a posting of one 1,000-byte article over 8 connections: start-up, reading
#                     the NZB, the connection check and the logins, the same for every size
#   by connections    1, 2, 8, 16, 50 on the 1 GB posting
# Each point is the median of --runs downloads (default 3), after one warm-up download that fills
# the server's article cache. Prints name=value lines:
#   fixed_cpu_ms      CPU of the one-article download
#   size_<MB>MB_MBps, size_<MB>MB_cpu_s_per_GB, size_<MB>MB_peak_rss_MB
#   size_<MB>MB_marginal_cpu_s_per_GB: (CPU - fixed_cpu_ms) per GB, the cost of the bytes alone
#   conn_<N>_MBps, conn_<N>_cpu_s_per_GB, conn_<N>_peak_rss_MB
#   size_cpu_spread, size_marginal_cpu_spread, conn_cpu_spread: highest / lowest cpu_s_per_GB of
#   each series (1.00 is flat); the connection series' figure comes last
# MBps is posting bytes (sum of the source files) / wall seconds of the process; CPU is user+sys of
# quivern-get (bash's time, to the millisecond; the peak RSS comes from /usr/bin/time). The news
# server runs on the same cores as the client, so on a small machine MBps includes its share of
# the CPU; cpu_s_per_GB is the client's alone.
#
# Usage: bench/scaling.sh [--sizes "10 100 1024 4096 10240"] [--connections "1 2 8 16 50"] [--runs N]
#                         [--tls] [--bin DIR] [--work DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sizes="10 100 1024 4096 10240" conns="1 2 8 16 50" runs=3 tls=0 bin=build/release/bin
work=${TMPDIR:-/tmp}/quivern-bench-scaling
while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) sizes=$2; shift 2 ;;
    --connections) conns=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --tls) tls=1; shift ;;
    --bin) bin=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) echo "usage: $0 [--sizes \"10 100 1024 4096 10240\"] [--connections \"1 2 8 16 50\"] [--runs N] [--tls] [--bin DIR] [--work DIR]" >&2; exit 2 ;;
  esac
done
for tool in quivern-get quivern-newsd quivern-mkposting; do
  [ -x "$bin/$tool" ] || { echo "build the release binaries first: $bin/$tool is missing" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (Debian package time)" >&2; exit 2; }
mkdir -p "$work"
work=$(cd "$work" && pwd)
files=10

client_tls=()
if [ "$tls" = 1 ]; then
  "$root/scripts/make-test-certs.sh" "$work/certs" >/dev/null
  client_tls=(--tls --accept-untrusted-cert)
fi

server=
stop_server() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  server=
}
trap stop_server EXIT

# start_server POSTING: serves its articles; sets $port.
start_server() {
  local args=(--articles "$1/articles" --port-file "$work/ports")
  [ "$tls" = 1 ] && args+=(--no-plain --tls-port 0 --cert "$work/certs/server.pem" --key "$work/certs/server.key")
  rm -f "$work/ports"
  "$bin/quivern-newsd" "${args[@]}" >/dev/null 2>&1 &
  server=$!
  for _ in $(seq 100); do [ -s "$work/ports" ] && break; sleep 0.1; done
  local key=plain; [ "$tls" = 1 ] && key=tls
  port=$(sed -n "s/^$key=//p" "$work/ports")
  [ -n "$port" ] || { echo "the news server did not start" >&2; exit 1; }
}

# download POSTING CONNECTIONS: one download; prints "wall cpu rss_kb".
download() {
  rm -rf "$work/out" "$work/config"; mkdir -p "$work/out"
  # bash's time gives wall and CPU seconds to the millisecond (those of /usr/bin/time, which
  # only reports the peak RSS here, included: well under a millisecond).
  local TIMEFORMAT='%3R %3U %3S'
  { time XDG_CONFIG_HOME="$work/config" /usr/bin/time -f '%M' -o "$work/time.txt" \
    "$bin/quivern-get" download "$1/bench.nzb" --server "127.0.0.1:$port" "${client_tls[@]}" \
    --connections "$2" --out "$work/out" --no-postproc > "$work/result.txt" 2>/dev/null; } 2> "$work/cpu.txt"
  local last; last=$(tail -n1 "$work/result.txt")
  case "$last" in
    *" missing=0 "*) ;;
    *) echo "download of $1 over $2 connections failed: $last" >&2; exit 1 ;;
  esac
  local want; want=$(du -sb "$1/source" | cut -f1)
  local got; got=$(du -sb "$work/out" | cut -f1)
  [ "$got" -ge "$want" ] || { echo "download of $1: $got of $want bytes written" >&2; exit 1; }
  awk -v rss="$(cat "$work/time.txt")" '{ print $1, $2 + $3, rss }' "$work/cpu.txt"
}

# measure NAME POSTING CONNECTIONS: the median of $runs downloads as name=value lines; appends
# the cpu_s_per_GB figure to $work/NAME-series (the series is NAME's prefix up to the first _).
measure() {
  local name=$1 posting=$2 c=$3 payload
  payload=$(du -sb "$posting/source" | cut -f1)
  : > "$work/runs"
  for _ in $(seq "$runs"); do download "$posting" "$c" >> "$work/runs"; done
  read -r wall cpu rss < <(sort -n "$work/runs" | sed -n "$(( (runs + 1) / 2 ))p")
  local per_gb
  per_gb=$(awk -v p="$payload" -v c="$cpu" 'BEGIN { printf "%.3f", c / (p / 1e9) }')
  echo "${name}_MBps=$(awk -v p="$payload" -v w="$wall" 'BEGIN { printf "%.1f", p / 1e6 / w }')"
  echo "${name}_cpu_s_per_GB=$per_gb"
  echo "${name}_peak_rss_MB=$(( rss / 1024 ))"
  echo "$per_gb" >> "$work/${name%%_*}-series"
  if [ -n "${fixed_cpu:-}" ] && [ "${name%%_*}" = size ]; then
    per_gb=$(awk -v p="$payload" -v c="$cpu" -v f="$fixed_cpu" 'BEGIN { printf "%.3f", (c - f) / (p / 1e9) }')
    echo "${name}_marginal_cpu_s_per_GB=$per_gb"
    echo "$per_gb" >> "$work/marginal-series"
  fi
}

spread() {  # FILE of numbers: highest / lowest
  sort -g "$1" | awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR > 0 && lo > 0) printf "%.2f\n", hi / lo; else print "n/a" }'
}

echo "connections_for_sizes=8"
echo "tls=$tls"
echo "runs=$runs"
echo "cores=$(nproc)"
# Other work on the machine shares the cores; a high figure here means noisy results.
echo "load_average_1min=$(cut -d" " -f1 /proc/loadavg)"
rm -f "$work/size-series" "$work/conn-series" "$work/marginal-series"
# The fixed cost: a posting of a single small article.
posting="$work/posting-one"
if [ ! -f "$posting/bench.nzb" ]; then
  rm -rf "$posting"
  "$bin/quivern-mkposting" "$posting" --name bench --files 1 --size 1000 --segment 716800 >/dev/null
fi
start_server "$posting"
download "$posting" 8 >/dev/null
: > "$work/runs"
for _ in $(seq "$runs"); do download "$posting" 8 >> "$work/runs"; done
fixed_cpu=$(awk '{ print $2 }' "$work/runs" | sort -g | sed -n "$(( (runs + 1) / 2 ))p")
echo "fixed_cpu_ms=$(awk -v c="$fixed_cpu" 'BEGIN { printf "%.1f", c * 1000 }')"
stop_server
for mb in $sizes; do
  posting="$work/posting-$mb"
  # Source files, article files (a little larger) and the downloaded copy, with 10% to spare.
  need_kb=$(( mb * 1024 * 33 / 10 ))
  free_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
  if [ ! -f "$posting/bench.nzb" ] && [ "$free_kb" -lt "$need_kb" ]; then
    echo "size_${mb}MB=skipped_no_disk_space"
    continue
  fi
  if [ ! -f "$posting/bench.nzb" ]; then
    rm -rf "$posting"
    "$bin/quivern-mkposting" "$posting" --name bench --files "$files" --size $(( mb * 1024 * 1024 / files )) \
      --segment 716800 >/dev/null
  fi
  start_server "$posting"
  download "$posting" 8 >/dev/null  # warm-up: fills the server's article cache
  measure "size_${mb}MB" "$posting" 8
  if [ "$mb" = 1024 ]; then
    for c in $conns; do measure "conn_$c" "$posting" "$c"; done
  fi
  stop_server
  rm -rf "$posting" "$work/out"
done
echo "size_cpu_spread=$(spread "$work/size-series")"
echo "size_marginal_cpu_spread=$(spread "$work/marginal-series")"
[ -s "$work/conn-series" ] && echo "conn_cpu_spread=$(spread "$work/conn-series")"
true
