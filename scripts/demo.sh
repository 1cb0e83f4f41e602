#!/usr/bin/env bash
# Installs the dependencies, builds Quivern and runs its main job.
#
#   ./scripts/demo.sh              downloads the built-in sample posting from a local demo news
#                                  server (made on first use: several files, a PAR2 set made with
#                                  par2, an SFV list), then verifies it.
#   ./scripts/demo.sh FILE.nzb     downloads FILE.nzb with the servers you configured
#                                  (quivern-get servers add ...).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
echo "Building (release)..."
cmake --preset release >/dev/null
cmake --build --preset release --target quivern-get quivern-newsd quivern-mkposting quivern_language_libraries >/dev/null
bin=build/release/bin

if [ $# -gt 0 ]; then
  exec "$bin/quivern-get" download "$@"
fi

demo=demo
posting="$demo/posting"
if [ ! -f "$posting/sample.nzb" ]; then
  echo "Making the sample posting in $posting..."
  rm -rf "$posting"
  "$bin/quivern-mkposting" "$posting" --name sample --files 5 --size 20000000 --par2 --sfv >/dev/null
fi
rm -f "$demo/ports"
"$bin/quivern-newsd" --articles "$posting/articles" --port-file "$demo/ports" >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$demo/ports" ] && break; sleep 0.1; done
port=$(sed -n 's/^plain=//p' "$demo/ports")
echo "Local demo news server on 127.0.0.1:$port; downloading $posting/sample.nzb into $demo/downloads"
rm -rf "$demo/downloads"
"$bin/quivern-get" download "$posting/sample.nzb" --server "127.0.0.1:$port" --out "$demo/downloads"
