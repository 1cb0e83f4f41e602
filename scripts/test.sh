#!/usr/bin/env bash
# Installs the dependencies, builds and runs every test: ./scripts/test.sh [debug|release|sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
# The tests read the shared real-world samples: next to the project unless QUIVERN_TESTDATA_DIR
# points elsewhere.
testdata=${QUIVERN_TESTDATA_DIR:-../shared/testdata}
if [ ! -f "$testdata/MANIFEST.md" ]; then
  echo "test samples not found in $testdata (expected ../shared/testdata beside the project);" \
    "set QUIVERN_TESTDATA_DIR to the shared testdata folder" >&2
  exit 2
fi
QUIVERN_TESTDATA_DIR=$(cd "$testdata" && pwd)
export QUIVERN_TESTDATA_DIR
./scripts/install-deps.sh
./scripts/build.sh "$preset"
ctest --preset "$preset" -j2
