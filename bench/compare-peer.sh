#!/usr/bin/env bash
# End-to-end download of one posting (default 1 GB, 10 files) from the local news server
# (quivern-newsd) by three clients over the same number of connections, plain and then TLS:
#   raw_fetch    fetches every article and discards it: the ceiling
#   quivern-get  download --no-postproc
#   nzbget       Debian's nzbget, as a peer for comparison (installed with apt-get when missing;
#                only its packaged binary is run, with the configuration file written below)
# Each client runs --runs times per mode (default 3) and the median run counts. Prints name=value
# lines per mode (prefix tls_ for TLS), the ratio that matters last:
#   *_MBps          posting bytes (sum of the source files) / wall seconds; the same numerator for
#                   all three, so raw_fetch's figure here leaves out its protocol overhead
#   *_cpu_s_per_GB  user+sys seconds of the client process (/usr/bin/time) per 10^9 posting bytes
#   *_peak_rss_MB   maximum resident set of the client process
#   quivern_vs_nzbget_MBps, nzbget_vs_quivern_cpu (nzbget's CPU / ours), quivern_vs_nzbget_rss
#   (ours / nzbget's), quivern_vs_raw_fetch_MBps
# nzbget's CPU seconds and peak RSS are those of its server process from start to shutdown (its
# idle start-up included, a few milliseconds).
# Wall time runs from the client's start to all files written: for quivern-get and raw_fetch the
# whole process; for nzbget from handing it the NZB (nzbget -A, its server already started) to its
# log line "Collection … completely downloaded". Every output file of quivern-get and nzbget is
# compared byte for byte with the posting's source/ folder; a run that misses anything fails.
#
# The news server runs on the same machine and the same cores as the client; on a small machine
# its CPU time competes with the client's, so throughput figures are lower than against a remote
# server, for every client alike. A first raw_fetch pass warms the server's article cache.
#
# Usage: bench/compare-peer.sh [--size-mb N] [--files N] [--connections N] [--runs N]
#                              [--modes "plain tls"] [--bin DIR] [--work DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
size_mb=1024 files=10 connections=8 runs=3 modes="plain tls" bin=build/release/bin
work=${TMPDIR:-/tmp}/quivern-bench-peer
while [ $# -gt 0 ]; do
  case "$1" in
    --size-mb) size_mb=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) echo "usage: $0 [--size-mb N] [--files N] [--connections N] [--runs N] [--modes \"plain tls\"] [--bin DIR] [--work DIR]" >&2; exit 2 ;;
  esac
done
for tool in quivern-get quivern-newsd quivern-mkposting raw_fetch; do
  [ -x "$bin/$tool" ] || { echo "build the release binaries first: $bin/$tool is missing" >&2; exit 2; }
done
if ! command -v nzbget >/dev/null; then
  sudo_cmd=(); [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends nzbget >&2
fi
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (Debian package time)" >&2; exit 2; }
mkdir -p "$work"
work=$(cd "$work" && pwd)

# The posting, made once and kept for later runs.
file_size=$(( size_mb * 1024 * 1024 / files ))
posting="$work/posting-$size_mb-$files"
if [ ! -f "$posting/bench.nzb" ]; then
  rm -rf "$posting"
  "$bin/quivern-mkposting" "$posting" --name bench --files "$files" --size "$file_size" --segment 716800 >/dev/null
fi
payload=0
for f in "$posting"/source/*; do payload=$(( payload + $(stat -c %s "$f") )); done

# One server for both modes, so the TLS runs find its cache warm as well.
"$root/scripts/make-test-certs.sh" "$work/certs" >/dev/null
rm -f "$work/ports"
"$bin/quivern-newsd" --articles "$posting/articles" --port-file "$work/ports" --tls-port 0 \
  --cert "$work/certs/server.pem" --key "$work/certs/server.key" >/dev/null 2>&1 &
server=$!
nzbget_pid=
cleanup() {
  [ -n "$nzbget_pid" ] && kill "$nzbget_pid" 2>/dev/null
  kill "$server" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do grep -q '^tls=' "$work/ports" 2>/dev/null && break; sleep 0.1; done
plain_port=$(sed -n 's/^plain=//p' "$work/ports")
tls_port=$(sed -n 's/^tls=//p' "$work/ports")

# verify DIR: every source file of the posting is in DIR with the same bytes.
verify() {
  local f name
  for f in "$posting"/source/*; do
    name=$(basename "$f")
    if ! cmp -s "$f" "$1/$name"; then
      echo "$2: $1/$name is missing or differs from the source ($(stat -c %s "$1/$name" 2>/dev/null || echo 0) of $(stat -c %s "$f") bytes)" >&2
      return 1
    fi
  done
}

now() { date +%s.%N; }

# Each run_* prints "wall cpu rss_kb" on stdout.
run_raw_fetch() {  # mode port
  local tls=(); [ "$1" = tls ] && tls=(--tls)
  local start; start=$(now)
  /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" "$bin/raw_fetch" "$posting/bench.nzb" \
    --server "127.0.0.1:$2" "${tls[@]}" --connections "$connections" > "$work/raw.txt"
  local end; end=$(now)
  grep -q '^missing=0$' "$work/raw.txt" || { echo "raw_fetch: articles missing" >&2; return 1; }
  awk -v wall="$(echo "$end - $start" | bc -l)" '{ print wall, $2 + $3, $4 }' "$work/time.txt"
}

run_quivern() {  # mode port
  local tls=(); [ "$1" = tls ] && tls=(--tls --accept-untrusted-cert)
  rm -rf "$work/out" "$work/config"; mkdir -p "$work/out" "$work/config/quivern"
  # The same memory for decoded articles as nzbget's ArticleCache below (200 MB); the program's
  # own default is 512 MiB.
  printf '[General]\nStoreMemoryLimitMB=200\n' > "$work/config/quivern/Config.ini"
  local start; start=$(now)
  XDG_CONFIG_HOME="$work/config" /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" \
    "$bin/quivern-get" download "$posting/bench.nzb" --server "127.0.0.1:$2" "${tls[@]}" \
    --connections "$connections" --out "$work/out" --no-postproc > "$work/quivern.txt" 2>/dev/null
  local end; end=$(now)
  grep -q ' missing=0 ' <(tail -n1 "$work/quivern.txt") || { echo "quivern-get: $(tail -n1 "$work/quivern.txt")" >&2; return 1; }
  verify "$work/out/bench" quivern-get
  awk -v wall="$(echo "$end - $start" | bc -l)" '{ print wall, $2 + $3, $4 }' "$work/time.txt"
}

# nzbget runs as a console-mode server with this configuration; the NZB is handed to it through
# its control port. What is set, and why:
#   Server1.Connections  the same number of connections as the other clients
#   Server1.Encryption   TLS in the tls mode; CertCheck=no as our client's --accept-untrusted-cert
#   Server1.JoinGroup=no ARTICLE by message-id only, no GROUP command, as ours
#   ArticleCache=200     200 MB article cache with DirectWrite=yes: decoded articles are gathered
#                        in memory and written into the preallocated output file, no temp files
#   WriteBuffer=1024     1 MB write buffer per connection, its recommended fast setting
#   CrcCheck=yes         it checks each article's yEnc CRC, as ours does
#   ParCheck=manual, ParRepair=no, ParRename=no, RarRename=no, DirectRename=no, Unpack=no,
#   DirectUnpack=no, HealthCheck=none
#                        no post-processing of any kind, as quivern-get --no-postproc
#   InterDir empty, AppendCategoryDir=no   files go straight to DestDir/<nzb name>
#   DupeCheck=no, ContinuePartial=no, FlushQueue=no, NzbDirInterval=0, DiskSpace=0, KeepHistory=1
#                        no queue state flushed to disk and no directory scans while downloading
#   WriteLog=none, DetailTarget/DebugTarget=none, OutputMode=loggable, InfoTarget=screen
#                        quiet: no log file; the info lines on stdout tell when the download ends
write_nzbget_conf() {  # dir mode port control_port
  local encryption=no; [ "$2" = tls ] && encryption=yes
  cat > "$1/nzbget.conf" <<EOF
MainDir=$1
DestDir=$1/dst
InterDir=
NzbDir=$1/nzb
QueueDir=$1/queue
TempDir=$1/tmp
ScriptDir=
LockFile=$1/nzbget.lock
LogFile=$1/nzbget.log
Server1.Active=yes
Server1.Name=local
Server1.Level=0
Server1.Host=127.0.0.1
Server1.Port=$3
Server1.Username=
Server1.Password=
Server1.JoinGroup=no
Server1.Encryption=$encryption
Server1.Connections=$connections
ControlIP=127.0.0.1
ControlPort=$4
ControlUsername=nzbget
ControlPassword=bench
CertCheck=no
UpdateCheck=none
AppendCategoryDir=no
DupeCheck=no
FlushQueue=no
ContinuePartial=no
ArticleCache=200
DirectWrite=yes
WriteBuffer=1024
CrcCheck=yes
ParCheck=manual
ParRepair=no
ParRename=no
RarRename=no
DirectRename=no
HealthCheck=none
Unpack=no
DirectUnpack=no
WriteLog=none
OutputMode=loggable
DetailTarget=none
DebugTarget=none
InfoTarget=screen
KeepHistory=1
NzbDirInterval=0
DiskSpace=0
EOF
}

# free_port: a port nothing on 127.0.0.1 accepts connections on (tried through bash's /dev/tcp).
free_port() {
  local p
  for _ in $(seq 100); do
    p=$(( 20000 + RANDOM % 40000 ))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
  done
  echo "no free port found" >&2; return 1
}

run_nzbget() {  # mode port
  local dir="$work/nzbget" cport start end
  rm -rf "$dir"; mkdir -p "$dir/dst" "$dir/nzb" "$dir/queue" "$dir/tmp"
  cport=$(free_port)
  write_nzbget_conf "$dir" "$1" "$2" "$cport"
  /usr/bin/time -f '%e %U %S %M' -o "$dir/time.txt" nzbget -c "$dir/nzbget.conf" -s > "$dir/out.log" 2>&1 &
  nzbget_pid=$!
  local ready=0
  for _ in $(seq 100); do
    if nzbget -c "$dir/nzbget.conf" -L S >/dev/null 2>&1; then ready=1; break; fi
    sleep 0.1
  done
  [ "$ready" = 1 ] || { echo "nzbget did not start: $(cat "$dir/out.log")" >&2; return 1; }
  start=$(now)
  nzbget -c "$dir/nzbget.conf" -A "$posting/bench.nzb" >/dev/null
  local finished=0
  for _ in $(seq 60000); do  # 10 ms steps, at most 10 minutes
    if grep -q 'completely downloaded' "$dir/out.log"; then finished=1; break; fi
    sleep 0.01
  done
  end=$(now)
  nzbget -c "$dir/nzbget.conf" -Q >/dev/null 2>&1 || true
  wait "$nzbget_pid" || true
  nzbget_pid=
  [ "$finished" = 1 ] || { echo "nzbget did not finish: $(tail -n5 "$dir/out.log")" >&2; return 1; }
  # Two errors it always prints here are harmless: it finds no web-interface configuration
  # templates (none is needed), and -Q logs "Could not terminate" while shutting down.
  local notes
  notes=$(grep '^\[ERROR\]\|^\[WARNING\]' "$dir/out.log" | grep -v 'configuration templates\|Could not terminate' || true)
  [ -z "$notes" ] || echo "nzbget reported: $notes" >&2
  verify "$dir/dst/bench" nzbget
  awk -v wall="$(echo "$end - $start" | bc -l)" '{ print wall, $2 + $3, $4 }' "$dir/time.txt"
}

# median FILE: the run of median wall time, "wall cpu rss_kb".
median() { sort -n "$1" | sed -n "$(( ($(wc -l < "$1") + 1) / 2 ))p"; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f\n", a / b }'; }

echo "posting_bytes=$payload"
echo "connections=$connections"
echo "runs=$runs"
echo "cores=$(nproc)"
# Other work on the machine shares the cores; a high figure here means noisy results.
echo "load_average_1min=$(cut -d" " -f1 /proc/loadavg)"
for mode in $modes; do
  port=$plain_port; prefix=""
  [ "$mode" = tls ] && { port=$tls_port; prefix="tls_"; }
  "$bin/raw_fetch" "$posting/bench.nzb" --server "127.0.0.1:$port" $([ "$mode" = tls ] && echo --tls) \
    --connections "$connections" >/dev/null  # warms the server's cache
  : > "$work/raw_fetch.runs"; : > "$work/quivern.runs"; : > "$work/nzbget.runs"
  for _ in $(seq "$runs"); do
    run_raw_fetch "$mode" "$port" >> "$work/raw_fetch.runs"
    run_quivern "$mode" "$port" >> "$work/quivern.runs"
    rm -rf "$work/out"
    run_nzbget "$mode" "$port" >> "$work/nzbget.runs"
    rm -rf "$work/nzbget/dst"
  done
  declare -A mbps cpu rss
  for name in raw_fetch quivern nzbget; do
    read -r wall c r < <(median "$work/$name.runs")
    mbps[$name]=$(awk -v p="$payload" -v w="$wall" 'BEGIN { printf "%.1f", p / 1e6 / w }')
    cpu[$name]=$(awk -v p="$payload" -v c="$c" 'BEGIN { printf "%.3f", c / (p / 1e9) }')
    rss[$name]=$(( r / 1024 ))
    echo "${prefix}${name}_seconds=$(awk -v w="$wall" 'BEGIN { printf "%.3f", w }')"
    echo "${prefix}${name}_MBps=${mbps[$name]}"
    echo "${prefix}${name}_cpu_s_per_GB=${cpu[$name]}"
    echo "${prefix}${name}_peak_rss_MB=${rss[$name]}"
  done
  echo "${prefix}nzbget_vs_quivern_cpu=$(ratio "${cpu[nzbget]}" "${cpu[quivern]}")"
  echo "${prefix}quivern_vs_nzbget_rss=$(ratio "${rss[quivern]}" "${rss[nzbget]}")"
  echo "${prefix}quivern_vs_nzbget_MBps=$(ratio "${mbps[quivern]}" "${mbps[nzbget]}")"
  echo "${prefix}quivern_vs_raw_fetch_MBps=$(ratio "${mbps[quivern]}" "${mbps[raw_fetch]}")"
  unset mbps cpu rss
done
