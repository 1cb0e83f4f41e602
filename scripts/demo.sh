#!/usr/bin/env bash
# Installs the dependencies, builds Quivern and runs its main job on the built-in default.
# Today the engine reads NZB documents and manages the settings: the demo opens the sample
# posting's NZB file and lists the configured news servers.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh release >/dev/null
bin=build/release/bin
sample=demo/sample.nzb
mkdir -p demo
if [ ! -f "$sample" ]; then
  cat > "$sample" <<'NZB'
<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE nzb PUBLIC "-//newzBin//DTD NZB 1.1//EN" "http://www.newzbin.com/DTD/nzb/nzb-1.1.dtd">
<nzb xmlns="http://www.newzbin.com/DTD/2003/nzb">
 <head><meta type="title">Quivern sample posting</meta></head>
 <file poster="Quivern &lt;demo@localhost&gt;" date="1765411200" subject="[1/2] - &quot;sample.bin&quot; yEnc (1/2)">
  <groups><group>alt.binaries.quivern.demo</group></groups>
  <segments>
   <segment bytes="400000" number="1">part1.sample@localhost</segment>
   <segment bytes="123456" number="2">part2.sample@localhost</segment>
  </segments>
 </file>
 <file poster="Quivern &lt;demo@localhost&gt;" date="1765411200" subject="[2/2] - &quot;sample.par2&quot; yEnc (1/1)">
  <groups><group>alt.binaries.quivern.demo</group></groups>
  <segments><segment bytes="9000" number="1">par2.sample@localhost</segment></segments>
 </file>
</nzb>
NZB
fi
echo "== quivern-get info $sample"
"$bin/quivern-get" info "$sample"
echo "== quivern-get servers"
"$bin/quivern-get" servers
